#include "brillify/Timeouts.h"

#include <cerrno>
#include <cstdlib>

namespace Brillify {

namespace {

// A day is longer than any request may sensibly take.
constexpr long kMaxTimeoutMs = 24L * 3600 * 1000;

long FromEnvironment(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value <= 0) return fallback;
  return value > kMaxTimeoutMs ? kMaxTimeoutMs : value;
}

}  // namespace

Timeouts CurrentTimeouts() {
  return {FromEnvironment("BRILLIFY_CONNECT_TIMEOUT_MS", kDefaultConnectTimeoutMs),
          FromEnvironment("BRILLIFY_TIMEOUT_MS", kDefaultTotalTimeoutMs)};
}

}  // namespace Brillify
