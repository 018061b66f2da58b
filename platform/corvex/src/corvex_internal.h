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

#endif /* CORVEX_INTERNAL_H */
