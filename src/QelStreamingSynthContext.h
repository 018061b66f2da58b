// The state of one segment's cloud synthesis.
//
// Owned by the channel (its synthesis context) from the start of a text
// segment's cloud request until that segment's audio has been delivered or
// its failure answered; the channel refuses a new SPEAK and defers a close
// while one exists. Confined to the engine's event-processor thread.
//
// Lifetimes: the request info holds one SDK reference, released with the
// context. The result belongs to the cloud requester and stays valid only
// until its next text request, unless a cloud worker brought it: then the
// context holds a reference of its own. The fetch and its handler belong to the
// context; the channel releases the context only after Fetch::get has
// returned, never from inside a handler call, so neither is destroyed inside
// its own callbacks.
#ifndef QEL_STREAMING_SYNTH_CONTEXT_H
#define QEL_STREAMING_SYNTH_CONTEXT_H

#include <cstdint>
#include <memory>

#include "QelCloudAudioConverter.h"
#include "QelWaveformManager.h"

class BrillServerJSON;
class JSONBase;
class RequestInfoJSON;
namespace Client {
class Fetch;
}  // namespace Client

namespace TARNWICKSS {

class AudioFetchHandler;

struct StreamingSynthContext {
  StreamingSynthContext();
  // Releases the SDK references; deletes the fetch, then its handler, and a
  // cache entry that was never registered.
  ~StreamingSynthContext();
  StreamingSynthContext(const StreamingSynthContext&) = delete;
  StreamingSynthContext& operator=(const StreamingSynthContext&) = delete;

  JSONBase* sdk_state = nullptr;            // conversation state for the request; never set, released if it were
  RequestInfoJSON* request_info = nullptr;  // one reference
  BrillServerJSON* result = nullptr;        // the answer: the requester's, or a worker's
  bool result_owned = false;                // a worker's answer: one reference, released with the context
  // Declared before the fetch, so the fetch goes first.
  std::unique_ptr<AudioFetchHandler> fetch_handler;
  std::unique_ptr<Client::Fetch> fetch;
  // Made for each segment. Keeping one per channel and clearing it was
  // measured slower: with the converter's memory kept, malloc returns the
  // freed memory of every cloud answer to the system and faults it in again
  // on the next request.
  CloudAudioConverter converter;
  // The entry to register with this segment's waveform (caching on).
  std::unique_ptr<WaveformManager::CacheEntry> cache_entry;

  // Fetched body: status 200 was reported and audio may come.
  bool streaming = false;
  // Another status, or a piece that could not be taken: the rest of the
  // fetch is ignored and the segment fails once get has returned.
  bool fetch_failed = false;
  // The content end was reported and the segment's audio is complete.
  bool completed = false;
  // Body bytes received; a fetch that received any is never retried.
  std::uint64_t received = 0;
};

}  // namespace TARNWICKSS

#endif  // QEL_STREAMING_SYNTH_CONTEXT_H
