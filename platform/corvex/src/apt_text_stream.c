/*
 * The text cursor and its field and line readers.
 *
 * Readers hand out slices of the text (buf + length); they never write into
 * it, so a slice is not zero-terminated and callers must honour its length.
 */
#include "corvex/apt.h"
#include "corvex_internal.h"

void apt_text_stream_init(apt_text_stream_t *stream, char *buf, apr_size_t length) {
  if (!stream) {
    CORVEX_REFUSE("apt_text_stream_init: null stream");
    return;
  }
  if (!buf && length > 0) {
    CORVEX_REFUSE("apt_text_stream_init: null buffer with length %lu", (unsigned long)length);
    length = 0;
  }
  stream->text.buf = buf;
  stream->text.length = length;
  stream->pos = buf;
  stream->end = buf ? buf + length : NULL;
}

/* An empty slice at the cursor, so a caller's field never points elsewhere. */
static void empty_slice(const apt_text_stream_t *stream, apt_str_t *out) {
  out->buf = stream->pos;
  out->length = 0;
}

apt_bool_t apt_text_field_read(apt_text_stream_t *stream, char separator, apt_bool_t skip_spaces, apt_str_t *field) {
  if (!stream || !field) {
    CORVEX_REFUSE("apt_text_field_read: null %s", stream ? "field" : "stream");
    if (field) {
      field->buf = NULL;
      field->length = 0;
    }
    return FALSE;
  }
  if (apt_text_is_eos(stream)) {
    empty_slice(stream, field);
    return FALSE;
  }
  char *pos = stream->pos;
  const char *end = stream->end;
  if (skip_spaces) {
    while (pos < end && (*pos == ' ' || *pos == '\t')) pos++;
  }
  char *start = pos;
  while (pos < end && *pos != separator) pos++;
  field->buf = start;
  field->length = (apr_size_t)(pos - start);
  stream->pos = pos < end ? pos + 1 : pos;
  return TRUE;
}

apt_bool_t apt_text_line_read(apt_text_stream_t *stream, apt_str_t *line) {
  if (!stream || !line) {
    CORVEX_REFUSE("apt_text_line_read: null %s", stream ? "line" : "stream");
    if (line) {
      line->buf = NULL;
      line->length = 0;
    }
    return FALSE;
  }
  if (apt_text_is_eos(stream)) {
    empty_slice(stream, line);
    return FALSE;
  }
  char *start = stream->pos;
  char *pos = start;
  const char *end = stream->end;
  while (pos < end && *pos != '\n') pos++;
  line->buf = start;
  line->length = (apr_size_t)(pos - start);
  if (pos < end) {
    /* CRLF ends a line too; a lone CR elsewhere is part of the line. */
    if (line->length > 0 && pos[-1] == '\r') line->length--;
    stream->pos = pos + 1;
  } else {
    stream->pos = pos;
  }
  return TRUE;
}

apt_bool_t apt_text_is_eos(const apt_text_stream_t *stream) {
  if (!stream) {
    CORVEX_REFUSE("apt_text_is_eos: null stream");
    return TRUE;
  }
  return !stream->pos || stream->pos >= stream->end;
}
