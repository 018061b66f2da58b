// The prosody of a request or of a cached waveform: rate, volume, pitch,
// contour, range and duration.
//
// A plain value: the synthesis defaults, every request's parameters and every
// cache entry each hold their own copy. Rate and volume use the server's
// MRCP prosody types, so header values are copied in unchanged. Not shared
// between threads; whoever holds a copy uses it on its own thread.
#ifndef QEL_PROSODY_PARAMS_H
#define QEL_PROSODY_PARAMS_H

#include <string>

#include "corvex/mrcp_message.h"

namespace TARNWICKSS {

struct ProsodyParams {
  // Everything unset: empty strings, rate type unknown, volume type unknown.
  ProsodyParams();

  // Back to the state of a fresh record.
  void Reset();

  // Whether `candidate` may stand in for this record, which is the request.
  // A rate or volume that this record leaves unset accepts any value of the
  // candidate; a set one must equal the candidate's bit for bit (type and
  // value). The four strings must always be equal byte for byte. Hence
  // a.Compare(b) and b.Compare(a) can differ.
  bool Compare(const ProsodyParams& candidate) const;

  std::string pitch;
  std::string contour;
  std::string range;
  mrcp_prosody_rate_t rate;
  std::string duration;
  mrcp_prosody_volume_t volume;
};

}  // namespace TARNWICKSS

#endif  // QEL_PROSODY_PARAMS_H
