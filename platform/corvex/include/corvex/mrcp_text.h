/*
 * Corvex server: MRCPv2 messages in their text form.
 *
 *   request   MRCP/2.0 <length> <method> <request-id>
 *   response  MRCP/2.0 <length> <request-id> <status> <request-state>
 *   event     MRCP/2.0 <length> <event> <request-id> <request-state>
 *
 * then one "Name: value" line per header, an empty line, and a body of
 * Content-Length bytes. Lines end in CRLF; the parser also takes a bare LF,
 * so that hand-written files work. <length> counts every byte of the
 * message, its own digits included.
 *
 * Header values in text and in the message record:
 *   Channel-Identifier            channel_id of the message
 *   Content-Length, Fetch-Timeout,
 *   Voice-Age, Voice-Variant      decimal numbers
 *   Kill-On-Barge-In, Speak-Restart,
 *   Load-Lexicon                  "true" or "false"
 *   Voice-Gender                  "male", "female" or "neutral"
 *   Completion-Cause              "000" to "007", optionally followed by its
 *                                 name ("000 normal"); written with the name
 *   Prosody-Rate                  a label ("x-slow" ... "x-fast", "default"),
 *                                 a multiplier ("1.5": relative change 1.5) or
 *                                 a percentage ("150%": relative change 1.5)
 *   Prosody-Volume                a label ("silent" ... "x-loud", "default"),
 *                                 an unsigned level ("80": numeric 80) or a
 *                                 signed change in percent ("+10", "-5.5%":
 *                                 relative change +10, -5.5); written "+10%"
 *   Vendor-Specific-Parameters    name=value pairs separated by ';'; a value
 *                                 may be a quoted string (which may hold ';')
 *                                 and keeps its quotes; a name alone has an
 *                                 empty value
 *   every other header            its text, blanks around it removed
 * Header names match without regard to case, and so do keyword values
 * (booleans, genders, prosody labels), as literals of the grammar do. The
 * synthesizer resource's generic and synthesizer headers fill the record; a
 * known header given twice is refused, except Vendor-Specific-Parameters,
 * whose pairs add up. Any other header, and a known one whose value is empty
 * but not text (GET-PARAMS asks with "Voice-Gender:"), goes to the message's
 * other_headers as written: a header the server does not know is no error.
 *
 * Nothing here keeps state; every function may be called from any thread.
 */
#ifndef CORVEX_MRCP_TEXT_H
#define CORVEX_MRCP_TEXT_H

#include "corvex/mrcp_message.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Why a text was refused, and where. */
typedef struct mrcp_text_error_t {
  apr_size_t line; /* 1-based line of the text; 0 when no line is at fault */
  char reason[240];
} mrcp_text_error_t;

/* Parser options (bit flags). */
enum {
  /*
   * A message without Content-Length takes the rest of the text as its body
   * (the Content-Length header is then added). Without this flag such a
   * message has no body and ends after its empty line.
   */
  MRCP_TEXT_BODY_TO_END = 0x1
};

/*
 * Parses one message (request, response or event) from text[0..length),
 * which need not be zero-terminated and may hold more messages after it.
 *
 * The message length may be left out of any start line and the request id
 * out of a request's (it is then 0); a length that is given must equal the
 * bytes the message occupies. A request's method must be a synthesizer
 * method, an event's a synthesizer event. The message always has both header
 * blocks, as a message the server reads off the wire does; a header counts
 * only when its flag is set. A response's method is not in its text: its
 * method_id is SYNTHESIZER_METHOD_COUNT.
 *
 * Returns the message, allocated with everything it points to from pool, and
 * stores in *consumed (when not NULL) the number of bytes it occupied.
 * Returns NULL for bad input, with error (when not NULL) saying why and on
 * which line; nothing allocated from pool is then used.
 */
mrcp_message_t *mrcp_text_parse(const char *text, apr_size_t length, unsigned flags, apr_pool_t *pool,
                                apr_size_t *consumed, mrcp_text_error_t *error);

/*
 * Writes message in its text form, with the message length filled in:
 * Channel-Identifier first (when channel_id is not empty), then the present
 * generic headers, then the present synthesizer headers, each in the order
 * of their ids, then other_headers in their order. Content-Length always states the body's actual length and is
 * written whenever there is a body or its flag is set.
 *
 * Like snprintf: writes at most size - 1 bytes and a terminating zero into
 * buf (nothing when size is 0) and returns the full length of the text, so a
 * caller can size its buffer with a first call. Returns 0 when the message
 * cannot be written in text form: not MRCPv2, an unknown method, event,
 * status or request state, a header value the text form cannot carry (a line
 * break in it, an unknown gender, cause or prosody kind).
 */
apr_size_t mrcp_text_render(const mrcp_message_t *message, char *buf, apr_size_t size);

#ifdef __cplusplus
}
#endif

#endif /* CORVEX_MRCP_TEXT_H */
