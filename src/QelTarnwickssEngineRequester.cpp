// The engine's cloud requester and the credentials file it is made from.
#include <cstdio>
#include <string>

#include "QelCredentials.h"
#include "QelLogUrls.h"
#include "QelTarnwickssEngine.h"
#include "QelTarnwickssPlugin.h"
#include "brillify/BrillCloudRequester.h"

namespace TARNWICKSS {

bool Engine::LoadCredentialsFile(const std::string& path, std::string& content) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (!file) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open Credentials File %s", path.c_str());
    return false;
  }
  // The whole file, but reading stops once it is known to be too large for
  // the parser to take.
  content.clear();
  char buffer[4096];
  for (std::size_t size = 0;
       content.size() <= kMaxCredentialsFileBytes && (size = std::fread(buffer, 1, sizeof(buffer), file)) > 0;) {
    content.append(buffer, size);
  }
  std::fclose(file);
  if (content.empty()) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Read Credentials File %s", path.c_str());
    return false;
  }
  return true;
}

bool Engine::CreateBrillRequester() {
  const std::string& path = credentials_file_;
  std::string content;
  if (!LoadCredentialsFile(path, content)) return false;

  Credentials credentials;
  if (!ParseCredentials(content, credentials)) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Parse Credentials File %s", path.c_str());
    return false;
  }
  const std::string& client_id = credentials.client_id;
  const std::string& client_key = credentials.client_key;
  std::string& user_id = credentials.user_id;
  std::string& voice_base = credentials.voice_request_url_base;
  std::string& text_base = credentials.text_request_url_base;
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

  // Only the lengths of the id and the key are ever logged, and no URL's
  // password.
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
          "Create Brill Requester client-id [%d bytes] client-key [%d bytes] user-id [%s] "
          "voice-request-url-base [%s] text-request-url-base [%s]",
          static_cast<int>(client_id.size()), static_cast<int>(client_key.size()), user_id.c_str(),
          MaskUrlUserInfo(voice_base).c_str(), MaskUrlUserInfo(text_base).c_str());
  requester_ = new BrillCloudRequester(client_id.c_str(), client_key.c_str(), user_id.c_str(), text_base.c_str(),
                                       voice_base.c_str(), nullptr);
  return true;
}

}  // namespace TARNWICKSS
