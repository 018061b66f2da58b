// Brillify SDK: the service's answer to a text request.
//
// On the wire an object with "Status" (an integer, 0 for success),
// "ErrorMessage" (text, on failures) and "AllResults" (an array of results).
// Elements of "AllResults" that are not objects are dropped when the answer
// is read, so every element is a CommandResultJSON.
#ifndef BRILLIFY_BRILL_SERVER_JSON_H
#define BRILLIFY_BRILL_SERVER_JSON_H

#include <cstddef>
#include <string>

#include "brillify/CommandResultJSON.h"
#include "brillify/JSONValues.h"

class BrillServerJSON : public JSONObjectValue {
 public:
  // Reads an answer's text. A new value (one reference, the caller's), or
  // null when the text is not one JSON object, is nested deeper than the SDK
  // reads, or has anything but whitespace after the object.
  static BrillServerJSON* parse(const char* text, std::size_t length);

  // Whether "Status" is present and an integer that fits an int.
  bool hasStatus() const;
  // The status; -1 when hasStatus() is false.
  int getStatus() const;
  bool hasErrorMessage() const;
  const std::string& getErrorMessage() const;

  bool hasAllResults() const;
  std::size_t countOfAllResults() const;
  // Borrowed; null past the end.
  CommandResultJSON* elementOfAllResults(std::size_t index) const;

 protected:
  BrillServerJSON() = default;
  ~BrillServerJSON() override = default;
};

#endif  // BRILLIFY_BRILL_SERVER_JSON_H
