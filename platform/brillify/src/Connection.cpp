#include "brillify/Client/Connection.h"

#include "Error.h"
#include "Transfer.h"
#include "brillify/BrillServerJSON.h"

namespace Brillify {

Link::Link() : multi(curl_multi_init()) {
  if (!multi) ThrowText("cannot create an HTTP transfer");
}

Link::~Link() { curl_multi_cleanup(multi); }

}  // namespace Brillify

namespace Client {

namespace {

// Inline audio makes answers large; anything beyond this is not an answer.
constexpr std::size_t kMaxAnswerBytes = 64u << 20;

// A buffer kept across requests stays no larger than this once an answer
// has been handled.
constexpr std::size_t kKeptAnswerBytes = 4u << 20;

struct Answer {
  std::string& body;
  bool too_large = false;
};

std::size_t OnAnswer(char* data, std::size_t size, std::size_t count, void* user) {
  auto& answer = *static_cast<Answer*>(user);
  const std::size_t bytes = size * count;
  if (answer.body.size() + bytes > kMaxAnswerBytes) {
    answer.too_large = true;
    return 0;
  }
  answer.body.append(data, bytes);
  return bytes;
}

}  // namespace

Connection::Connection() : link_(std::make_unique<Brillify::Link>()) {}

Connection::~Connection() = default;

void Connection::wake() { curl_multi_wakeup(link_->multi); }

BrillServerJSON* Connection::textRequest(const TextRequest& request, const std::atomic<bool>* cancel) {
  Brillify::Transfer& transfer = link_->transfer;
  transfer.Prepare(request.url, request.ssl_setup, request.timeouts);
  struct curl_slist* headers = nullptr;
  for (const std::string& field : request.headers) headers = curl_slist_append(headers, field.c_str());

  answer_body_.clear();
  Answer answer{answer_body_};
  CURL* curl = transfer.handle();
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnAnswer);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  // Without a cancel flag nothing needs watching: libcurl's own loop.
  const CURLcode code = cancel ? transfer.PerformWatched(link_->multi, 0, cancel) : transfer.Perform();
  long http_status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &http_status);
  // The options point at this frame's data; none may outlive it.
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(headers);

  if (answer.too_large) {
    Brillify::ThrowText("text request answer larger than " + std::to_string(kMaxAnswerBytes) + " bytes [" +
                        request.url + "]");
  }
  if (code != CURLE_OK) Brillify::ThrowText(transfer.Describe("text request", code));
  // An error page may look like an answer (a proxy's, or a service's own
  // JSON with audio in it): whatever the body, only a 2xx answers.
  if (http_status < 200 || http_status > 299) {
    Brillify::ThrowText("text request answered HTTP " + std::to_string(http_status) + " [" + request.url + "]");
  }
  BrillServerJSON* parsed = BrillServerJSON::parse(answer.body.data(), answer.body.size());
  const std::size_t received = answer.body.size();
  if (answer_body_.capacity() > kKeptAnswerBytes) std::string().swap(answer_body_);
  if (!parsed) {
    Brillify::ThrowText("unparsable text request answer (HTTP " + std::to_string(http_status) + ", " +
                        std::to_string(received) + " bytes) [" + request.url + "]");
  }
  return parsed;
}

}  // namespace Client
