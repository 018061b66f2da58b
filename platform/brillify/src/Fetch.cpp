#include "brillify/Client/Fetch.h"

#include <strings.h>

#include <cstdlib>
#include <exception>
#include <string>

#include "Error.h"
#include "Transfer.h"
#include "brillify/Client/Connection.h"

namespace Client {

namespace {

// What the libcurl callbacks of one get share. Lives on get's stack.
struct FetchState {
  FetchHandler* handler;
  const bool* deleted;         // the fetch was deleted by a handler call
  std::exception_ptr error{};  // a handler's exception, rethrown by get
  bool interim = false;        // inside a 1xx or 3xx response, which is not reported
  bool reported = false;       // the final status has been reported
  bool header_done = false;    // the final response's header has been reported
  bool has_length = false;
  unsigned long length = 0;

  // False when the transfer must stop: the fetch is gone or a handler threw.
  bool Live() const { return !*deleted && !error; }
};

std::string Trim(const char* data, std::size_t size) {
  std::size_t begin = 0;
  while (begin < size && (data[begin] == ' ' || data[begin] == '\t')) ++begin;
  while (size > begin &&
         (data[size - 1] == '\r' || data[size - 1] == '\n' || data[size - 1] == ' ' || data[size - 1] == '\t')) {
    --size;
  }
  return std::string(data + begin, size - begin);
}

// "HTTP/1.1 200 OK", "HTTP/2 404".
void ReportStatusLine(FetchState& state, const std::string& line) {
  unsigned major = 0, minor = 0;
  const char* p = line.c_str() + 5;
  char* end = nullptr;
  major = static_cast<unsigned>(std::strtoul(p, &end, 10));
  if (*end == '.') minor = static_cast<unsigned>(std::strtoul(end + 1, &end, 10));
  const unsigned code = static_cast<unsigned>(std::strtoul(end, &end, 10));
  while (*end == ' ') ++end;
  // A redirect is followed by the transfer itself; only where it leads is
  // the answer.
  state.interim = code < 200 || (code >= 300 && code < 400);
  if (state.interim) return;
  state.reported = true;
  state.has_length = false;
  state.handler->handleHTTPVersion(major, minor);
  if (!state.Live()) return;
  state.handler->handleStatusCode(code);
  if (!state.Live()) return;
  state.handler->handleReasonPhrase(end);
}

void ReportHeaderLine(FetchState& state, const std::string& line) {
  if (line.compare(0, 5, "HTTP/") == 0) {
    ReportStatusLine(state, line);
  } else if (line.empty()) {
    if (state.interim) return;
    state.header_done = true;
    if (state.has_length) state.handler->handleContentByteCount(state.length);
    if (!state.Live()) return;
    state.handler->handleHeaderDone();
  } else if (!state.interim) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return;
    const std::string name = Trim(line.data(), colon);
    const std::string value = Trim(line.data() + colon + 1, line.size() - colon - 1);
    if (strcasecmp(name.c_str(), "Content-Length") == 0) {
      char* end = nullptr;
      const unsigned long length = std::strtoul(value.c_str(), &end, 10);
      state.has_length = !value.empty() && *end == '\0';
      state.length = length;
    }
    state.handler->handleParameter(name.c_str(), value.c_str());
  }
}

// Exceptions must not cross libcurl's C frames: each callback keeps the
// handler's exception for get and stops the transfer instead.
std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto& state = *static_cast<FetchState*>(user);
  const std::size_t bytes = size * count;
  // Trailers after the body are not reported.
  if (state.header_done) return bytes;
  try {
    ReportHeaderLine(state, Trim(data, bytes));
  } catch (...) {
    state.error = std::current_exception();
  }
  return state.Live() ? bytes : 0;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto& state = *static_cast<FetchState*>(user);
  const std::size_t bytes = size * count;
  if (bytes == 0) return 0;
  if (!state.reported) return bytes;  // the body of a redirect that was not followed
  try {
    state.handler->handleContent(static_cast<unsigned long>(bytes), data);
  } catch (...) {
    state.error = std::current_exception();
  }
  return state.Live() ? bytes : 0;
}

}  // namespace

Fetch::Fetch(const char* url, SslSetup* ssl_setup) : url_(url ? url : ""), ssl_setup_(ssl_setup) {}

Fetch::~Fetch() {
  if (deleted_flag_) *deleted_flag_ = true;
}

void Fetch::get(FetchHandler* handler, int method) {
  if (!handler) Brillify::ThrowText("fetch without a handler [" + url_ + "]");
  // Everything the transfer needs is on this stack, so that a handler may
  // delete this fetch.
  Brillify::Transfer transfer;
  Run(handler, method, transfer, nullptr, Brillify::CurrentTimeouts(), nullptr);
}

void Fetch::get(FetchHandler* handler, int method, Connection& connection, const Brillify::Timeouts& timeouts,
                const std::atomic<bool>* cancel) {
  Brillify::Link& link = connection.link();
  Run(handler, method, link.transfer, link.multi, timeouts, cancel);
}

void Fetch::Run(FetchHandler* handler, int method, Brillify::Transfer& transfer, CURLM* multi,
                const Brillify::Timeouts& timeouts, const std::atomic<bool>* cancel) {
  if (!handler) Brillify::ThrowText("fetch without a handler [" + url_ + "]");
  if (method != GET) Brillify::ThrowText("unsupported fetch method " + std::to_string(method) + " [" + url_ + "]");
  if (deleted_flag_) Brillify::ThrowText("fetch already running [" + url_ + "]");

  // After a handler deleted this fetch nothing here touches `this` again.
  bool deleted = false;
  FetchState state{handler, &deleted};
  transfer.Prepare(url_, ssl_setup_, timeouts);
  curl_easy_setopt(transfer.handle(), CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(transfer.handle(), CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(transfer.handle(), CURLOPT_HEADERDATA, &state);
  curl_easy_setopt(transfer.handle(), CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(transfer.handle(), CURLOPT_WRITEDATA, &state);
  // Audio may be served from elsewhere (a content network): a few redirects,
  // over HTTP(S) only.
  curl_easy_setopt(transfer.handle(), CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(transfer.handle(), CURLOPT_MAXREDIRS, 3L);
  curl_easy_setopt(transfer.handle(), CURLOPT_REDIR_PROTOCOLS_STR, "http,https");

  deleted_flag_ = &deleted;
  // A long body is not a hang: only a stall ends the fetch.
  const CURLcode code = multi ? transfer.PerformWatched(multi, timeouts.total_ms, cancel)
                              : transfer.PerformUntilStalled(timeouts.total_ms);
  if (!deleted) deleted_flag_ = nullptr;

  if (state.error) std::rethrow_exception(state.error);
  if (deleted) return;
  if (code != CURLE_OK) Brillify::ThrowText(transfer.Describe("fetch", code));
  if (!state.reported) Brillify::ThrowText("fetch answered with a redirect it cannot follow [" + url_ + "]");
  // Last: the handler may delete this fetch here.
  handler->handleContentEnd();
}

}  // namespace Client
