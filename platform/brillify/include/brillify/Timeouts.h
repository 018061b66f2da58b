// Brillify SDK: how long a text request or a fetch may take.
//
// Every request and fetch gives up, throwing the SDK's text, when it has not
// connected within the connect time-out. A text request also gives up when
// it has not finished within the total time-out. A fetch streams for as long
// as its body lasts: it gives up only when no byte has come for the total
// time-out (counted from its start until the first byte), so a hang ends
// but a slow, steady body is never cut. The environment can shorten or
// lengthen both (tests make them short): BRILLIFY_CONNECT_TIMEOUT_MS and
// BRILLIFY_TIMEOUT_MS, in milliseconds, read at the start of each request. A
// value that is not a positive decimal number is ignored.
#ifndef BRILLIFY_TIMEOUTS_H
#define BRILLIFY_TIMEOUTS_H

namespace Brillify {

constexpr long kDefaultConnectTimeoutMs = 5000;
constexpr long kDefaultTotalTimeoutMs = 30000;

struct Timeouts {
  long connect_ms;
  long total_ms;
};

Timeouts CurrentTimeouts();

}  // namespace Brillify

#endif  // BRILLIFY_TIMEOUTS_H
