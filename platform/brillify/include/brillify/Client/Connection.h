// Brillify SDK: what one sending thread keeps between its requests.
//
// A caller that sends from several threads gives each thread a Connection
// of its own: the open connection to the service, the buffer answers arrive
// in, and a wake-up for cancelling. Requests are made ready anywhere
// (BrillCloudRequester::composeTextRequest reads the requester's
// credentials and nothing else), and sent through a Connection.
//
// Threads: a Connection is used by one thread at a time (its owner); only
// wake() may be called from any thread, while the Connection exists.
#ifndef BRILLIFY_CLIENT_CONNECTION_H
#define BRILLIFY_CLIENT_CONNECTION_H

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "brillify/Client/Fetch.h"
#include "brillify/Timeouts.h"

class BrillServerJSON;

namespace Brillify {
struct Link;
}  // namespace Brillify

namespace Client {

// A text request as it goes on the wire: it needs nothing else to be sent.
struct TextRequest {
  std::string url;
  std::vector<std::string> headers;  // "Name: value", signature included
  std::string body;
  Brillify::Timeouts timeouts;
  const Fetch::SslSetup* ssl_setup = nullptr;  // the requester's: it must outlive the sending
};

class Connection {
 public:
  // Throws the SDK's text when libcurl cannot make its handles.
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends `request` and returns the service's answer, whatever the status
  // inside it, with one reference for the caller. Throws the SDK's text as
  // BrillCloudRequester::textRequest does, and "text request cancelled
  // [url]" once `*cancel` is set (null: never cancelled).
  BrillServerJSON* textRequest(const TextRequest& request, const std::atomic<bool>* cancel);

  // Any thread: a transfer of this connection that waits for the network
  // looks at its cancel flag now rather than at its next poll.
  void wake();

  // The handles the SDK's transfers on this connection run on (Fetch::get
  // with a connection); internal.
  Brillify::Link& link() { return *link_; }

 private:
  std::unique_ptr<Brillify::Link> link_;
  // The answer's bytes as they arrive, kept from one request to the next:
  // answers with inline audio are hundreds of kilobytes, and allocating and
  // freeing that much per request makes malloc hand the memory back to the
  // system and fault it in again every time.
  std::string answer_body_;
};

}  // namespace Client

#endif  // BRILLIFY_CLIENT_CONNECTION_H
