// libFuzzer target for the credentials file: the input is the file's content,
// read by ParseCredentials exactly as the engine reads it. Besides the
// sanitizers (deep nesting must not recurse the stack away) it checks that
// nothing above the size limit is taken, that no value keeps a NUL byte, and
// that the values written back as a credentials file read the same.
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "QelCredentials.h"

using TARNWICKSS::Credentials;

namespace {

const struct {
  const char* name;
  std::string Credentials::*value;
} kMembers[] = {
    {"client-id", &Credentials::client_id},
    {"client-key", &Credentials::client_key},
    {"user-id", &Credentials::user_id},
    {"voice-request-url-base", &Credentials::voice_request_url_base},
    {"text-request-url-base", &Credentials::text_request_url_base},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Credentials read;
  if (!TARNWICKSS::ParseCredentials(std::string(reinterpret_cast<const char*>(data), size), read)) return 0;
  if (size > TARNWICKSS::kMaxCredentialsFileBytes) abort();

  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  for (const auto& member : kMembers) {
    const std::string& value = read.*member.value;
    if (value.find('\0') != std::string::npos) abort();
    writer.Key(member.name);
    writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
  }
  writer.EndObject();
  Credentials again;
  if (!TARNWICKSS::ParseCredentials(std::string(buffer.GetString(), buffer.GetSize()), again)) abort();
  for (const auto& member : kMembers) {
    if (read.*member.value != again.*member.value) abort();
  }
  return 0;
}
