// One libcurl easy handle with the options every SDK transfer shares:
// time-outs, TLS set-up, no redirects, http and https only, no signals, and
// the proxy named by http_proxy for https URLs too when no https proxy is
// named, at every hop of a redirect.
//
// The owner drives it from one thread. Reusing a Transfer for consecutive
// requests reuses its connection when the server keeps it open. A transfer
// run through PerformWatched can be ended early from another thread: that
// thread sets the cancel flag, then wakes the multi handle the transfer waits
// on (curl_multi_wakeup may be called from any thread).
#ifndef BRILLIFY_SRC_TRANSFER_H
#define BRILLIFY_SRC_TRANSFER_H

#include <curl/curl.h>

#include <atomic>
#include <string>

#include "brillify/Client/Fetch.h"
#include "brillify/Timeouts.h"

namespace Brillify {

class Transfer {
 public:
  // Throws the SDK's text when libcurl cannot make a handle.
  Transfer();
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Forgets the options of the previous transfer (not its connection) and
  // sets the shared ones for `url`.
  void Prepare(const std::string& url, const Client::Fetch::SslSetup* ssl_setup, const Timeouts& timeouts);
  CURL* handle() { return curl_; }
  // The whole transfer within the total time-out.
  CURLcode Perform() {
    stall_ms_ = 0;
    cancelled_ = false;
    return curl_easy_perform(curl_);
  }
  // The transfer for as long as it lasts, without the total time-out, but
  // ended (CURLE_OPERATION_TIMEDOUT) once no byte, header or body, has come
  // for `stall_ms`, counted from the start until the first byte.
  CURLcode PerformUntilStalled(long stall_ms);
  // Either of the two through `multi` (which the caller keeps; the handle
  // is added and removed again): stalls are watched when `stall_ms` is above
  // 0, otherwise the total time-out holds. Ends with
  // CURLE_ABORTED_BY_CALLBACK soon after `*cancel` is set (null: never),
  // checked before every wait for the network.
  CURLcode PerformWatched(CURLM* multi, long stall_ms, const std::atomic<bool>* cancel);
  // "<what> timed out [url]: ...", "<what> cancelled [url]" or "<what>
  // failed [url]: ..." for a failed Perform.
  std::string Describe(const char* what, CURLcode code) const;

 private:
  CURL* curl_;
  std::string url_;
  char error_[CURL_ERROR_SIZE];
  long stall_ms_ = 0;       // the stall that ended the last transfer, or 0
  bool cancelled_ = false;  // the last transfer was ended by its cancel flag
};

// A Transfer with the multi handle it waits on: what a Client::Connection
// keeps.
struct Link {
  Link();  // throws the SDK's text when libcurl cannot make a handle
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  Transfer transfer;
  CURLM* multi;
};

}  // namespace Brillify

#endif  // BRILLIFY_SRC_TRANSFER_H
