// Runs a request script against a plugin through the host runtime: loads
// the plugin, opens its engine and the channels, sends the script on every
// channel, prints every request sent and every response and event received,
// and judges how each request ended.
#ifndef TOOLS_CORVEX_HOST_SCRIPT_RUNNER_H
#define TOOLS_CORVEX_HOST_SCRIPT_RUNNER_H

#include <apr_time.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "request_script.h"

namespace corvex_host {

struct RunOptions {
  std::string plugin;
  std::string root;
  unsigned rate = 8000;
  int channels = 1;
  bool fast = false;         // pull frames as fast as possible instead of every 10 ms
  std::string wav;           // empty: no WAVE files
  std::string wav_timeline;  // empty: none; else every frame while a SPEAK is active, silence included
  bool no_queue = false;     // every SPEAK straight to the plugin, no server-side queue
  std::chrono::seconds timeout{30};
  apr_time_t start_us = 0;  // printed times count from here
};

// The WAVE file of each channel: path itself for one channel, otherwise path
// with "-<channel>" before its extension (out.wav: out-0.wav, out-1.wav ...).
std::vector<std::string> WavePaths(const std::string& path, int channels);

// Runs script (numbered, see Number) on every channel. Writes the exchange to
// out: each message is preceded by one line "<ms> ms channel <n> sent" or
// "<ms> ms channel <n> received", ms counted from options.start_us. Writes to
// err one line per request that did not end as expected, one per protocol
// violation of the plugin, the underruns of each SPEAK that played, and a
// summary. Returns 0 when every request ended as expected and the plugin kept
// the protocol, 1 otherwise (also when the plugin, its engine or a channel
// cannot be opened, or a channel never closed).
int RunScript(const RunOptions& options, const std::vector<ScriptRequest>& script, std::FILE* out, std::FILE* err);

}  // namespace corvex_host

#endif  // TOOLS_CORVEX_HOST_SCRIPT_RUNNER_H
