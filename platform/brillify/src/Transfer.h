// One libcurl easy handle with the options every SDK transfer shares:
// time-outs, TLS set-up, no redirects, http and https only, no signals, and
// the proxy named by http_proxy for https URLs too when no https proxy is
// named, at every hop of a redirect.
//
// The owner drives it from one thread. Reusing a Transfer for consecutive
// requests reuses its connection when the server keeps it open.
#ifndef BRILLIFY_SRC_TRANSFER_H
#define BRILLIFY_SRC_TRANSFER_H

#include <curl/curl.h>

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
    return curl_easy_perform(curl_);
  }
  // The transfer for as long as it lasts, without the total time-out, but
  // ended (CURLE_OPERATION_TIMEDOUT) once no byte, header or body, has come
  // for `stall_ms`, counted from the start until the first byte.
  CURLcode PerformUntilStalled(long stall_ms);
  // "<what> timed out [url]: ..." or "<what> failed [url]: ..." for a failed
  // Perform.
  std::string Describe(const char* what, CURLcode code) const;

 private:
  CURL* curl_;
  std::string url_;
  char error_[CURL_ERROR_SIZE];
  long stall_ms_ = 0;  // the stall that ended the last transfer, or 0
};

}  // namespace Brillify

#endif  // BRILLIFY_SRC_TRANSFER_H
