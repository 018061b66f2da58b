#include "Transfer.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "Error.h"

namespace Brillify {

namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

}  // namespace

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
  // libcurl takes http_proxy for http URLs only, and chooses again at every
  // hop of a redirect: the one proxy a deployment names there must carry
  // https too, unless an https proxy is named, also where an http URL
  // redirects to an https one. Named here, it serves every hop (no_proxy
  // still holds).
  if (IsSet("http_proxy") && !IsSet("https_proxy") && !IsSet("HTTPS_PROXY")) {
    curl_easy_setopt(curl_, CURLOPT_PROXY, std::getenv("http_proxy"));
  }
}

CURLcode Transfer::PerformUntilStalled(long stall_ms) {
  using Clock = std::chrono::steady_clock;
  stall_ms_ = 0;
  curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, 0L);
  CURLM* multi = curl_multi_init();
  if (!multi) return CURLE_OUT_OF_MEMORY;
  curl_multi_add_handle(multi, curl_);
  // libcurl's own low-speed check counts whole seconds of an averaged speed;
  // the stall is watched here instead, from the byte counts between polls.
  CURLcode result = CURLE_OK;
  Clock::time_point last_byte = Clock::now();
  curl_off_t last_count = 0;
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      result = CURLE_RECV_ERROR;
      break;
    }
    if (running == 0) {
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg == CURLMSG_DONE) result = message->data.result;
      }
      break;
    }
    curl_off_t body = 0;
    long header = 0;
    curl_easy_getinfo(curl_, CURLINFO_SIZE_DOWNLOAD_T, &body);
    curl_easy_getinfo(curl_, CURLINFO_HEADER_SIZE, &header);
    const Clock::time_point now = Clock::now();
    if (body + header != last_count) {
      last_count = body + header;
      last_byte = now;
    }
    const long quiet_ms =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now - last_byte).count());
    if (quiet_ms >= stall_ms) {
      stall_ms_ = stall_ms;
      result = CURLE_OPERATION_TIMEDOUT;
      break;
    }
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::min(stall_ms - quiet_ms, 1000L)), nullptr);
  }
  curl_multi_remove_handle(multi, curl_);
  curl_multi_cleanup(multi);
  return result;
}

std::string Transfer::Describe(const char* what, CURLcode code) const {
  if (stall_ms_ != 0) {
    return std::string(what) + " timed out [" + url_ + "]: no data for " + std::to_string(stall_ms_) + " ms";
  }
  const std::string detail = error_[0] ? error_ : curl_easy_strerror(code);
  const char* outcome = code == CURLE_OPERATION_TIMEDOUT ? " timed out [" : " failed [";
  return std::string(what) + outcome + url_ + "]: " + detail;
}

}  // namespace Brillify
