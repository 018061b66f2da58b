// Brillify SDK: one result of a text request's answer.
//
// On the wire an object; the SDK reads "ResponseAudioURL" (where to fetch
// the audio) and "ResponseAudioBytes" (the audio as standard base64), each
// counting only when it is a string. The audio, either way, is a WAVE byte
// stream.
#ifndef BRILLIFY_COMMAND_RESULT_JSON_H
#define BRILLIFY_COMMAND_RESULT_JSON_H

#include <string>

#include "brillify/JSONValues.h"

class CommandResultJSON : public JSONObjectValue {
 public:
  CommandResultJSON() = default;

  bool hasResponseAudioURL() const;
  // "" when absent.
  const std::string& getResponseAudioURL() const;
  bool hasResponseAudioBytes() const;
  // The base64 text, "" when absent.
  const std::string& getResponseAudioBytes() const;

 protected:
  ~CommandResultJSON() override = default;
};

#endif  // BRILLIFY_COMMAND_RESULT_JSON_H
