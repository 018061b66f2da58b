// The engine's cloud requester and the credentials file it is made from.
#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>

#include <cstdio>
#include <string>

#include "QelTarnwickssEngine.h"
#include "QelTarnwickssPlugin.h"
#include "brillify/BrillCloudRequester.h"

namespace TARNWICKSS {

namespace {

constexpr std::size_t kMaxCredentialsSize = 4096;

// The string value of a root member, up to its first NUL; empty when the
// member is absent or not a string. The first of duplicate names counts.
std::string Member(const rapidjson::Document& doc, const char* name) {
  for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
    if (std::string(it->name.GetString(), it->name.GetStringLength()) != name) continue;
    return it->value.IsString() ? std::string(it->value.GetString()) : std::string();
  }
  return std::string();
}

}  // namespace

bool Engine::LoadCredentialsFile(const std::string& path, std::string& content) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (!file) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open Credentials File %s", path.c_str());
    return false;
  }
  char buffer[kMaxCredentialsSize];
  const std::size_t size = std::fread(buffer, 1, sizeof(buffer), file);
  std::fclose(file);
  if (size == 0) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Read Credentials File %s", path.c_str());
    return false;
  }
  content.assign(buffer, size);
  return true;
}

bool Engine::CreateBrillRequester() {
  const std::string& path = credentials_file_;
  std::string content;
  if (!LoadCredentialsFile(path, content)) return false;

  // UTF-8 only, with an optional UTF-8 byte-order mark: other encodings
  // (whatever their mark says) and invalid sequences are refused. Only
  // whitespace may follow the root, up to the last byte read; a NUL byte
  // there is trailing text, not an end.
  const std::size_t start = content.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  rapidjson::Document doc;
  rapidjson::MemoryStream input(content.data() + start, content.size() - start);
  doc.ParseStream<rapidjson::kParseStopWhenDoneFlag | rapidjson::kParseValidateEncodingFlag, rapidjson::UTF8<>>(input);
  bool trailing = false;
  if (!doc.HasParseError()) {
    while (input.Peek() == ' ' || input.Peek() == '\t' || input.Peek() == '\n' || input.Peek() == '\r') input.Take();
    trailing = input.Tell() != content.size() - start;
  }
  if (doc.HasParseError() || trailing || !doc.IsObject()) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Parse Credentials File %s", path.c_str());
    return false;
  }

  const std::string client_key = Member(doc, "client-key");
  const std::string client_id = Member(doc, "client-id");
  std::string user_id = Member(doc, "user-id");
  std::string voice_base = Member(doc, "voice-request-url-base");
  std::string text_base = Member(doc, "text-request-url-base");
  if (client_id.empty()) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Missing Required Parameter [client-id] in %s",
            path.c_str());
    return false;
  }
  if (client_key.empty()) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Missing Required Parameter [client-key] in %s",
            path.c_str());
    return false;
  }
  if (user_id.empty()) user_id = "qelbrill";
  if (text_base.empty()) text_base = BrillCloudRequester::default_text_request_url_base();
  if (voice_base.empty()) voice_base = BrillCloudRequester::default_voice_request_url_base();

  // Only the lengths of the id and the key are ever logged.
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
          "Create Brill Requester client-id [%d bytes] client-key [%d bytes] user-id [%s] "
          "voice-request-url-base [%s] text-request-url-base [%s]",
          static_cast<int>(client_id.size()), static_cast<int>(client_key.size()), user_id.c_str(), voice_base.c_str(),
          text_base.c_str());
  requester_ = new BrillCloudRequester(client_id.c_str(), client_key.c_str(), user_id.c_str(), text_base.c_str(),
                                       voice_base.c_str(), nullptr);
  return true;
}

}  // namespace TARNWICKSS
