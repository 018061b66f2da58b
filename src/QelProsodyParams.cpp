#include "QelProsodyParams.h"

#include <cstring>

namespace TARNWICKSS {

namespace {

// The value unions are compared as raw bits: a label and a float may share a
// bit pattern, and float NaN or -0.0 must match only themselves, as stored.
template <typename T>
bool SameBits(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

}  // namespace

ProsodyParams::ProsodyParams() { Reset(); }

void ProsodyParams::Reset() {
  pitch.clear();
  contour.clear();
  range.clear();
  duration.clear();
  // memset first so that the whole union, not just one member, reads as 0.
  std::memset(&rate, 0, sizeof(rate));
  rate.type = PROSODY_RATE_TYPE_UNKNOWN;
  std::memset(&volume, 0, sizeof(volume));
  volume.type = PROSODY_VOLUME_TYPE_UNKNOWN;
}

bool ProsodyParams::Compare(const ProsodyParams& candidate) const {
  if (rate.type != PROSODY_RATE_TYPE_UNKNOWN &&
      (rate.type != candidate.rate.type || !SameBits(rate.value, candidate.rate.value))) {
    return false;
  }
  if (volume.type != PROSODY_VOLUME_TYPE_UNKNOWN &&
      (volume.type != candidate.volume.type || !SameBits(volume.value, candidate.volume.value))) {
    return false;
  }
  return pitch == candidate.pitch && contour == candidate.contour && range == candidate.range &&
         duration == candidate.duration;
}

}  // namespace TARNWICKSS
