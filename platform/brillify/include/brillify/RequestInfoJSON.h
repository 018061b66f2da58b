// Brillify SDK: the request information sent with a text request.
//
// Constructed empty; every field is absent until set. On the wire it is an
// object with the members "Language", "RequestID", "SessionID",
// "ClientName", "ClientVersion", "ClientMatches" (an array of client
// matches), "ResponseVoice", "ResponseAudioShortOrLong" ("Short" or "Long")
// and "ResponseAudioAsURL" (true asks for a URL to fetch the audio from
// instead of the audio inline).
#ifndef BRILLIFY_REQUEST_INFO_JSON_H
#define BRILLIFY_REQUEST_INFO_JSON_H

#include <cstddef>
#include <string>

#include "brillify/ClientMatchJSON.h"
#include "brillify/JSONValues.h"

class RequestInfoJSON : public JSONObjectValue {
 public:
  enum ResponseAudioShortOrLong { ResponseAudioShort = 0, ResponseAudioLong = 1 };

  RequestInfoJSON() = default;

  // "Short" or "Long", exactly; any other word throws the SDK's text.
  static ResponseAudioShortOrLong stringToResponseAudioShortOrLong(const char* word);
  static const char* responseAudioShortOrLongToString(ResponseAudioShortOrLong value);

  void setLanguage(const char* language);
  bool hasLanguage() const;
  const std::string& getLanguage() const;

  // Two caller-chosen identifiers of the request and of the session it
  // belongs to; the service echoes them in its logs.
  void setRequestID(const char* id);
  void setSessionID(const char* id);
  const std::string& getRequestID() const;
  const std::string& getSessionID() const;

  void setClientName(const char* name);
  void setClientVersion(const char* version);
  const std::string& getClientName() const;
  const std::string& getClientVersion() const;

  // Drops every client match and the list itself.
  void clearClientMatches();
  // Makes the list present (empty when nothing has been appended).
  void setClientMatchesPresent();
  // Appends to the list, making it present; takes a reference.
  void appendClientMatch(ClientMatchJSON* match);
  bool hasClientMatches() const;
  std::size_t countOfClientMatches() const;
  // Borrowed; null past the end.
  ClientMatchJSON* elementOfClientMatches(std::size_t index) const;

  void setResponseVoice(const char* voice);
  bool hasResponseVoice() const;
  const std::string& getResponseVoice() const;

  void setResponseAudioShortOrLong(ResponseAudioShortOrLong value);
  bool hasResponseAudioShortOrLong() const;
  ResponseAudioShortOrLong getResponseAudioShortOrLong() const;

  void setResponseAudioAsURL(bool as_url);
  bool hasResponseAudioAsURL() const;
  bool getResponseAudioAsURL() const;

 protected:
  ~RequestInfoJSON() override = default;
};

#endif  // BRILLIFY_REQUEST_INFO_JSON_H
