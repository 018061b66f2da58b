// Brillify SDK: one client match of a text request.
//
// A client match tells the service what to answer when the query matches
// its expression: a result object and response texts, each in a short and a
// long form (the request's ResponseAudioShortOrLong picks one). Plain
// response texts are spoken as written; SSML response texts are SSML
// documents; the common response texts serve either when the other two are
// empty.
//
// On the wire it is an object with the members "Expression", "Result",
// "PlainResponseText", "PlainResponseTextLong", "ResponseText",
// "ResponseTextLong", "SSMLResponseText" and "SSMLResponseTextLong".
#ifndef BRILLIFY_CLIENT_MATCH_JSON_H
#define BRILLIFY_CLIENT_MATCH_JSON_H

#include <string>

#include "brillify/JSONValues.h"

class ClientMatchJSON : public JSONObjectValue {
 public:
  ClientMatchJSON() = default;

  void setExpression(const char* expression);
  bool hasExpression() const;
  const std::string& getExpression() const;

  // Takes a reference to `result`.
  void setResult(JSONObjectValue* result);
  bool hasResult() const;
  // Borrowed; null when absent.
  JSONObjectValue* getResult() const;

  void setPlainResponseText(const char* text);
  void setPlainResponseTextLong(const char* text);
  void setResponseText(const char* text);
  void setResponseTextLong(const char* text);
  void setSSMLResponseText(const char* text);
  void setSSMLResponseTextLong(const char* text);
  bool hasSSMLResponseText() const;
  const std::string& getPlainResponseText() const;
  const std::string& getPlainResponseTextLong() const;
  const std::string& getResponseText() const;
  const std::string& getResponseTextLong() const;
  const std::string& getSSMLResponseText() const;
  const std::string& getSSMLResponseTextLong() const;

 protected:
  ~ClientMatchJSON() override = default;
};

#endif  // BRILLIFY_CLIENT_MATCH_JSON_H
