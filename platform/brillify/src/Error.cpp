#include "Error.h"

namespace Brillify {

void ThrowText(const std::string& text) {
  thread_local std::string last;
  last = "Brillify: " + text;
  throw static_cast<const char*>(last.c_str());
}

}  // namespace Brillify
