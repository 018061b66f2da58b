// How the SDK reports a failure: it throws a text (a const char*).
#ifndef BRILLIFY_SRC_ERROR_H
#define BRILLIFY_SRC_ERROR_H

#include <string>

namespace Brillify {

// Throws `text`, prefixed with "Brillify: ", as a const char*. The text
// lives in storage of the throwing thread and stays valid until that thread
// throws the SDK's next text, which is long enough for any catch block.
[[noreturn]] void ThrowText(const std::string& text);

}  // namespace Brillify

#endif  // BRILLIFY_SRC_ERROR_H
