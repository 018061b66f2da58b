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

#include <string>

#include "brillify/Client/HTTPHandler.h"

namespace Client {

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

  const std::string& url() const { return url_; }

 private:
  std::string url_;
  SslSetup* ssl_setup_;
  // While get runs: the flag it watches for this fetch being deleted.
  bool* deleted_flag_ = nullptr;
};

}  // namespace Client

#endif  // BRILLIFY_CLIENT_FETCH_H
