// FNV-1a, 64 bits: a cheap hash whose value is the same in every build and
// on every machine, for what is stored on disk or in a file name.
//
// Threads: pure functions; any thread.
#ifndef QEL_HASH_H
#define QEL_HASH_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace TARNWICKSS {

constexpr std::uint64_t kFnvOffset = 14695981039346656037ull;

// The hash of `size` bytes at `data`, continued from `hash`.
inline std::uint64_t Fnv1a64(const void* data, std::size_t size, std::uint64_t hash = kFnvOffset) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= bytes[i];
    hash *= 1099511628211ull;
  }
  return hash;
}

inline std::uint64_t Fnv1a64(const std::string& text) { return Fnv1a64(text.data(), text.size()); }

}  // namespace TARNWICKSS

#endif  // QEL_HASH_H
