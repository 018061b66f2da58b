/*
 * Internal helpers shared by the library's C and C++ sources.
 */
#ifndef CORVEX_INTERNAL_H
#define CORVEX_INTERNAL_H

#include "corvex/apt_log.h"

/*
 * A plugin's bad call (null handle, wrong size, unknown id) is refused with
 * one warning on the default source, so the fault shows in the server's log
 * instead of crashing the server.
 */
#define CORVEX_REFUSE(...) apt_log(def_log_source, APT_LOG_MARK, APT_PRIO_WARNING, __VA_ARGS__)

/*
 * The status codes of RFC 6787 (section 5.4): success 200 and 201, client
 * failures 401 to 410, resource-specific failures 420 to 422, server
 * failures 501 to 504.
 */
static inline int corvex_status_code_known(unsigned code) {
  return code == 200 || code == 201 || (code >= 401 && code <= 410) || (code >= 420 && code <= 422) ||
         (code >= 501 && code <= 504);
}

#endif /* CORVEX_INTERNAL_H */
