// Brillify SDK: one HTTP fetch of a URL, streamed to a handler.
//
// get() runs the whole transfer on the calling thread and reports it to the
// handler as HTTPHandler describes, before it returns. It follows up to
// three redirects (HTTP and HTTPS only), reporting only the answer they lead
// to, and reports any other status (404 and 500 too) like 200: reading the
// code is the handler's business. A redirect it cannot follow (no Location,
// too many) throws. Transport errors (refused or dropped
// connections, a body shorter than declared), time-outs (Brillify/Timeouts.h)
// and a handler's own exception end the transfer; the first two throw the
// SDK's text (a const char*), the last is rethrown as it is.
//
// The fetch and its handler must stay alive while get runs, with one
// exception: deleting the fetch (and with it, if the caller wishes, the
// handler) from inside a handler call is allowed. The transfer then stops,
// no handler call follows, and get returns without touching either again.
#ifndef BRILLIFY_CLIENT_FETCH_H
#define BRILLIFY_CLIENT_FETCH_H

#include <atomic>
#include <string>

#include "brillify/Client/HTTPHandler.h"
#include "brillify/Timeouts.h"

namespace Brillify {
class Transfer;
}  // namespace Brillify

namespace Client {

class Connection;

class Fetch {
 public:
  // TLS options for https URLs. The caller keeps it alive while it is in
  // use; null means the defaults (peer verified against the system's CAs).
  class SslSetup {
   public:
    SslSetup() = default;
    void setVerifyPeer(bool verify) { verify_peer_ = verify; }
    bool verifyPeer() const { return verify_peer_; }
    // A PEM bundle of trusted CAs; "" for the system's.
    void setCAFile(const char* path) { ca_file_ = path ? path : ""; }
    const std::string& caFile() const { return ca_file_; }

   private:
    bool verify_peer_ = true;
    std::string ca_file_;
  };

  // The methods get knows.
  enum Method { GET = 1 };

  // Copies the URL; `ssl_setup` may be null and must outlive the fetch.
  Fetch(const char* url, SslSetup* ssl_setup);
  ~Fetch();
  Fetch(const Fetch&) = delete;
  Fetch& operator=(const Fetch&) = delete;

  // Fetches the URL with `method` (GET, 1), reporting to `handler`. Throws
  // the SDK's text on failure, on a null handler, on an unknown method and
  // when called again from inside its own handler.
  void get(FetchHandler* handler, int method);
  // The same on `connection` (its kept connection; its wake()), with
  // `timeouts` instead of the environment's, ended early once `*cancel` is
  // set (null: never): the handler hears nothing more, and get throws
  // "fetch cancelled [url]".
  void get(FetchHandler* handler, int method, Connection& connection, const Brillify::Timeouts& timeouts,
           const std::atomic<bool>* cancel);

  const std::string& url() const { return url_; }

 private:
  // `multi`: the connection's, or null for a transfer of its own.
  void Run(FetchHandler* handler, int method, Brillify::Transfer& transfer, void* multi,
           const Brillify::Timeouts& timeouts, const std::atomic<bool>* cancel);

  std::string url_;
  SslSetup* ssl_setup_;
  // While get runs: the flag it watches for this fetch being deleted.
  bool* deleted_flag_ = nullptr;
};

}  // namespace Client

#endif  // BRILLIFY_CLIENT_FETCH_H
