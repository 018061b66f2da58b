#include "QelCredentials.h"

#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>

namespace TARNWICKSS {

namespace {

std::string Member(const rapidjson::Document& doc, const char* name) {
  for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
    if (std::string(it->name.GetString(), it->name.GetStringLength()) != name) continue;
    return it->value.IsString() ? std::string(it->value.GetString()) : std::string();
  }
  return std::string();
}

// Whether a value is UTF-8. The parser checks the file's bytes, not what an
// escape makes of them: a lone "\uDFFF" becomes bytes that are not UTF-8.
bool IsUtf8(const std::string& text) {
  struct Discard {
    void Put(char) {}
  } out;
  rapidjson::MemoryStream in(text.data(), text.size());
  while (in.Tell() < text.size()) {
    if (!rapidjson::UTF8<>::Validate(in, out)) return false;
  }
  return true;
}

}  // namespace

bool ParseCredentials(const std::string& content, Credentials& credentials) {
  if (content.size() > kMaxCredentialsFileBytes) return false;
  // Only white space may follow the root, up to the last byte: a NUL byte
  // there is trailing text, not an end. Iterative: a megabyte of "[" must
  // not recurse a million calls deep.
  const std::size_t start = content.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  rapidjson::Document doc;
  rapidjson::MemoryStream input(content.data() + start, content.size() - start);
  doc.ParseStream<rapidjson::kParseStopWhenDoneFlag | rapidjson::kParseValidateEncodingFlag |
                      rapidjson::kParseIterativeFlag,
                  rapidjson::UTF8<>>(input);
  if (doc.HasParseError() || !doc.IsObject()) return false;
  while (input.Peek() == ' ' || input.Peek() == '\t' || input.Peek() == '\n' || input.Peek() == '\r') input.Take();
  if (input.Tell() != content.size() - start) return false;

  credentials.client_id = Member(doc, "client-id");
  credentials.client_key = Member(doc, "client-key");
  credentials.user_id = Member(doc, "user-id");
  credentials.voice_request_url_base = Member(doc, "voice-request-url-base");
  credentials.text_request_url_base = Member(doc, "text-request-url-base");
  return IsUtf8(credentials.client_id) && IsUtf8(credentials.client_key) && IsUtf8(credentials.user_id) &&
         IsUtf8(credentials.voice_request_url_base) && IsUtf8(credentials.text_request_url_base);
}

}  // namespace TARNWICKSS
