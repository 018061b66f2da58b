#include "Transfer.h"

#include "Error.h"

namespace Brillify {

Transfer::Transfer() : curl_(curl_easy_init()) {
  error_[0] = '\0';
  if (!curl_) ThrowText("cannot create an HTTP transfer");
}

Transfer::~Transfer() { curl_easy_cleanup(curl_); }

void Transfer::Prepare(const std::string& url, const Client::Fetch::SslSetup* ssl_setup, const Timeouts& timeouts) {
  curl_easy_reset(curl_);
  url_ = url;
  error_[0] = '\0';
  curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, error_);
  // The caller's threads may not expect signals (and the time-outs must work
  // on any thread).
  curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, timeouts.connect_ms);
  curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, timeouts.total_ms);
  curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "http,https");
  const bool verify = !ssl_setup || ssl_setup->verifyPeer();
  curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
  curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
  if (ssl_setup && !ssl_setup->caFile().empty()) curl_easy_setopt(curl_, CURLOPT_CAINFO, ssl_setup->caFile().c_str());
  curl_easy_setopt(curl_, CURLOPT_USERAGENT, "Brillify/1.1");
}

std::string Transfer::Describe(const char* what, CURLcode code) const {
  const std::string detail = error_[0] ? error_ : curl_easy_strerror(code);
  const char* outcome = code == CURLE_OPERATION_TIMEDOUT ? " timed out [" : " failed [";
  return std::string(what) + outcome + url_ + "]: " + detail;
}

}  // namespace Brillify
