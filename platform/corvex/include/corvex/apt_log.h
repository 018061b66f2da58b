/*
 * Corvex server: the log.
 *
 * One process-wide logger writes one line per record: local time, priority
 * name, source name and message. Records above the logger's threshold, or
 * above their source's own threshold, are dropped. Plugins log through
 * apt_log with a source of their own, registered by name with
 * apt_log_source_assign. Every function here may be called from any thread.
 */
#ifndef CORVEX_APT_LOG_H
#define CORVEX_APT_LOG_H

#include <stdarg.h>
#include <stdio.h>

#include "corvex/apt.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  APT_PRIO_EMERGENCY = 0,
  APT_PRIO_ALERT = 1,
  APT_PRIO_CRITICAL = 2,
  APT_PRIO_ERROR = 3,
  APT_PRIO_WARNING = 4,
  APT_PRIO_NOTICE = 5,
  APT_PRIO_INFO = 6,
  APT_PRIO_DEBUG = 7,
  APT_PRIO_COUNT = 8
} apt_log_priority_e;

/* A named log source. Sources live as long as the logger's registry. */
typedef struct apt_log_source_t {
  const char *name;
  apt_log_priority_e priority; /* records above this are dropped */
} apt_log_source_t;

typedef struct apt_logger_t apt_logger_t;

/* Receives every record that passes the thresholds (after it was written). */
typedef void (*apt_log_ext_handler_f)(void *obj, const char *source, apt_log_priority_e priority, const char *message);

#define APT_LOG_MARK __FILE__, __LINE__

/* The server's default source ("CORVEX"); always valid. */
extern apt_log_source_t *def_log_source;

/*
 * Creates the process logger writing to stream (stderr when NULL) with the
 * given threshold and makes it the current instance. Returns NULL if a logger
 * exists already. The logger owns its memory; apt_log_instance_destroy frees it.
 */
apt_logger_t *apt_log_instance_create(FILE *stream, apt_log_priority_e threshold);
/* Opens file_path for appending and creates the logger on it; NULL on failure. */
apt_logger_t *apt_log_file_instance_create(const char *file_path, apt_log_priority_e threshold);
/* Destroys the current instance (closing a file it opened) and clears it. */
apt_bool_t apt_log_instance_destroy(void);
/* Makes logger the current instance (a plugin gets the host's logger this way). */
apt_bool_t apt_log_instance_set(apt_logger_t *logger);
apt_logger_t *apt_log_instance_get(void);

apt_bool_t apt_log_threshold_set(apt_log_priority_e threshold);
/* Installs a handler that sees every written record (tests, the host program). */
apt_bool_t apt_log_ext_handler_set(apt_log_ext_handler_f handler, void *obj);

/* Sets the default source used by plugins (NULL is refused). */
void apt_def_log_source_set(apt_log_source_t *source);
/*
 * Finds or registers the source called name and stores it in *source.
 * Returns FALSE for null arguments.
 */
apt_bool_t apt_log_source_assign(const char *name, apt_log_source_t **source);

/*
 * Writes one record. A null source is taken as def_log_source; a priority
 * outside 0..7 is clamped to 7. Without a logger instance the record is
 * dropped. Messages longer than 4095 bytes are cut.
 */
apt_bool_t apt_log(apt_log_source_t *source, const char *file, int line, apt_log_priority_e priority,
                   const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 5, 6)))
#endif
    ;
apt_bool_t apt_va_log(apt_log_source_t *source, const char *file, int line, apt_log_priority_e priority,
                      const char *format, va_list args);
/*
 * TRUE when a record of this priority from source (a null source is taken
 * as def_log_source) would be written now: a logger exists and neither its
 * threshold nor the source's holds the priority back. Lets a caller skip
 * building a costly message that would be dropped.
 */
apt_bool_t apt_log_priority_check(const apt_log_source_t *source, apt_log_priority_e priority);

/*
 * Translates a priority name ("EMERGENCY", "ALERT", "CRITICAL", "ERROR",
 * "WARNING", "NOTICE", "INFO", "DEBUG", any case) or a digit 0..7 into the
 * priority. Anything else yields APT_PRIO_DEBUG.
 */
apt_log_priority_e apt_log_priority_translate(const char *str);
/* The upper-case name of a priority, "UNKNOWN" outside 0..7. */
const char *apt_log_priority_name(apt_log_priority_e priority);

#ifdef __cplusplus
}
#endif

#endif /* CORVEX_APT_LOG_H */
