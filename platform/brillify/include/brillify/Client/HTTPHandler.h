// Brillify SDK: the receiver of one HTTP response.
//
// Every slot does nothing by default. During Fetch::get the calls come, on
// the thread that called get, in this order: handleHTTPVersion,
// handleStatusCode and handleReasonPhrase for the status line;
// handleParameter for each header field; handleContentByteCount when the
// response declares its length; handleHeaderDone; handleContent for each
// piece of the body as it arrives; and handleContentEnd once the whole body
// has arrived. A transfer that fails never reaches handleContentEnd.
#ifndef BRILLIFY_CLIENT_HTTP_HANDLER_H
#define BRILLIFY_CLIENT_HTTP_HANDLER_H

namespace Client {

class HTTPHandler {
 public:
  HTTPHandler() = default;
  HTTPHandler(const HTTPHandler&) = delete;
  HTTPHandler& operator=(const HTTPHandler&) = delete;

  virtual void handleHTTPVersion(unsigned major, unsigned minor) {}
  // One header field, name and value without surrounding white space.
  virtual void handleParameter(const char* name, const char* value) {}
  virtual void handleContentByteCount(unsigned long count) {}
  virtual void handleHeaderDone() {}
  // One piece of the body; `data` is valid during the call only.
  virtual void handleContent(unsigned long size, const void* data) {}
  virtual void handleContentEnd() {}
  virtual void handleStatusCode(unsigned code) {}
  virtual void handleReasonPhrase(const char* phrase) {}
  virtual ~HTTPHandler() = default;
};

// What Fetch::get reports to.
class FetchHandler : public HTTPHandler {};

}  // namespace Client

#endif  // BRILLIFY_CLIENT_HTTP_HANDLER_H
