/*
 * Corvex server: MRCP messages of the synthesizer resource.
 *
 * A message is a start line, an optional generic header block, an optional
 * synthesizer header block and a body. Each header block carries presence
 * flags: a header counts only when its flag is set. All memory of a message
 * comes from the pool it was created in; nothing is freed individually.
 */
#ifndef CORVEX_MRCP_MESSAGE_H
#define CORVEX_MRCP_MESSAGE_H

#include "corvex/apt.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef apr_uint32_t mrcp_request_id;
typedef apr_size_t mrcp_method_id;

typedef enum { MRCP_VERSION_UNKNOWN = 0, MRCP_VERSION_1 = 1, MRCP_VERSION_2 = 2 } mrcp_version_e;

typedef enum {
  MRCP_MESSAGE_TYPE_UNKNOWN = 0,
  MRCP_MESSAGE_TYPE_REQUEST = 1,
  MRCP_MESSAGE_TYPE_RESPONSE = 2,
  MRCP_MESSAGE_TYPE_EVENT = 3
} mrcp_message_type_e;

typedef enum {
  MRCP_REQUEST_STATE_COMPLETE = 0,
  MRCP_REQUEST_STATE_INPROGRESS = 1,
  MRCP_REQUEST_STATE_PENDING = 2,
  MRCP_REQUEST_STATE_COUNT = 3,
  MRCP_REQUEST_STATE_UNKNOWN = MRCP_REQUEST_STATE_COUNT
} mrcp_request_state_e;

typedef enum {
  MRCP_STATUS_CODE_UNKNOWN = 0,
  MRCP_STATUS_CODE_SUCCESS = 200,
  MRCP_STATUS_CODE_SUCCESS_WITH_IGNORE = 201,
  MRCP_STATUS_CODE_METHOD_NOT_ALLOWED = 401,
  MRCP_STATUS_CODE_METHOD_NOT_VALID = 402,
  MRCP_STATUS_CODE_UNSUPPORTED_PARAM = 403,
  MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE = 404,
  MRCP_STATUS_CODE_NOT_FOUND = 405,
  MRCP_STATUS_CODE_MISSING_PARAM = 406,
  MRCP_STATUS_CODE_METHOD_FAILED = 407,
  MRCP_STATUS_CODE_UNRECOGNIZED_MESSAGE = 408,
  MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE = 409,
  MRCP_STATUS_CODE_OUT_OF_ORDER = 410,
  MRCP_STATUS_CODE_RESOURCE_SPECIFIC_FAILURE = 421
} mrcp_status_code_e;

/* Synthesizer methods. */
typedef enum {
  SYNTHESIZER_SET_PARAMS,
  SYNTHESIZER_GET_PARAMS,
  SYNTHESIZER_SPEAK,
  SYNTHESIZER_STOP,
  SYNTHESIZER_PAUSE,
  SYNTHESIZER_RESUME,
  SYNTHESIZER_BARGE_IN_OCCURRED,
  SYNTHESIZER_CONTROL,
  SYNTHESIZER_DEFINE_LEXICON,
  SYNTHESIZER_METHOD_COUNT
} mrcp_synthesizer_method_id;

/* Synthesizer events. */
typedef enum {
  SYNTHESIZER_SPEECH_MARKER,
  SYNTHESIZER_SPEAK_COMPLETE,
  SYNTHESIZER_EVENT_COUNT
} mrcp_synthesizer_event_id;

typedef enum {
  SYNTHESIZER_COMPLETION_CAUSE_NORMAL = 0,
  SYNTHESIZER_COMPLETION_CAUSE_BARGE_IN = 1,
  SYNTHESIZER_COMPLETION_CAUSE_PARSE_FAILURE = 2,
  SYNTHESIZER_COMPLETION_CAUSE_URI_FAILURE = 3,
  SYNTHESIZER_COMPLETION_CAUSE_ERROR = 4,
  SYNTHESIZER_COMPLETION_CAUSE_LANGUAGE_UNSUPPORTED = 5,
  SYNTHESIZER_COMPLETION_CAUSE_LEXICON_LOAD_FAILURE = 6,
  SYNTHESIZER_COMPLETION_CAUSE_CANCELLED = 7,
  SYNTHESIZER_COMPLETION_CAUSE_COUNT = 8,
  SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN = SYNTHESIZER_COMPLETION_CAUSE_COUNT
} mrcp_synth_completion_cause_e;

typedef enum {
  VOICE_GENDER_MALE = 0,
  VOICE_GENDER_FEMALE = 1,
  VOICE_GENDER_NEUTRAL = 2,
  VOICE_GENDER_UNKNOWN = 3
} mrcp_voice_gender_e;

typedef enum {
  PROSODY_RATE_TYPE_LABEL = 0,
  PROSODY_RATE_TYPE_RELATIVE_CHANGE = 1,
  PROSODY_RATE_TYPE_UNKNOWN = 2
} mrcp_prosody_rate_type_e;

typedef enum {
  PROSODY_RATE_XSLOW = 0,
  PROSODY_RATE_SLOW = 1,
  PROSODY_RATE_MEDIUM = 2,
  PROSODY_RATE_FAST = 3,
  PROSODY_RATE_XFAST = 4,
  PROSODY_RATE_DEFAULT = 5,
  PROSODY_RATE_UNKNOWN = 6
} mrcp_prosody_rate_label_e;

/* 32-bit type and 32-bit value: a label or a float. */
typedef struct mrcp_prosody_rate_t {
  mrcp_prosody_rate_type_e type;
  union {
    mrcp_prosody_rate_label_e label;
    float relative; /* a multiplier: 1.0 is the normal rate */
  } value;
} mrcp_prosody_rate_t;

typedef enum {
  PROSODY_VOLUME_TYPE_LABEL = 0,
  PROSODY_VOLUME_TYPE_NUMERIC = 1,
  PROSODY_VOLUME_TYPE_RELATIVE_CHANGE = 2,
  PROSODY_VOLUME_TYPE_UNKNOWN = 3
} mrcp_prosody_volume_type_e;

typedef enum {
  PROSODY_VOLUME_SILENT = 0,
  PROSODY_VOLUME_XSOFT = 1,
  PROSODY_VOLUME_SOFT = 2,
  PROSODY_VOLUME_MEDIUM = 3,
  PROSODY_VOLUME_LOUD = 4,
  PROSODY_VOLUME_XLOUD = 5,
  PROSODY_VOLUME_DEFAULT = 6,
  PROSODY_VOLUME_UNKNOWN = 7
} mrcp_prosody_volume_label_e;

typedef struct mrcp_prosody_volume_t {
  mrcp_prosody_volume_type_e type;
  union {
    mrcp_prosody_volume_label_e label;
    float numeric;  /* a level, 0 silent to 100 loudest */
    float relative; /* a signed change in percent */
  } value;
} mrcp_prosody_volume_t;

/* Generic headers; the ids index the presence flags. */
typedef enum {
  GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST,
  GENERIC_HEADER_PROXY_SYNC_ID,
  GENERIC_HEADER_ACCEPT_CHARSET,
  GENERIC_HEADER_CONTENT_TYPE,
  GENERIC_HEADER_CONTENT_ID,
  GENERIC_HEADER_CONTENT_BASE,
  GENERIC_HEADER_CONTENT_ENCODING,
  GENERIC_HEADER_CONTENT_LOCATION,
  GENERIC_HEADER_CONTENT_LENGTH,
  GENERIC_HEADER_CACHE_CONTROL,
  GENERIC_HEADER_LOGGING_TAG,
  GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS,
  GENERIC_HEADER_ACCEPT,
  GENERIC_HEADER_FETCH_TIMEOUT,
  GENERIC_HEADER_SET_COOKIE,
  GENERIC_HEADER_SET_COOKIE2,
  GENERIC_HEADER_COUNT
} mrcp_generic_header_id;

typedef struct mrcp_generic_header_t {
  apt_str_t active_request_id_list;
  apt_str_t proxy_sync_id;
  apt_str_t accept_charset;
  apt_str_t content_type;
  apt_str_t content_id;
  apt_str_t content_base;
  apt_str_t content_encoding;
  apt_str_t content_location;
  apr_size_t content_length;
  apt_str_t cache_control;
  apt_str_t logging_tag;
  apr_array_header_t *vendor_specific_params; /* of apt_pair_t; NULL when absent */
  apt_str_t accept;
  apr_size_t fetch_timeout;
  apt_str_t set_cookie;
  apt_str_t set_cookie2;
} mrcp_generic_header_t;

/* Synthesizer headers; the ids index the presence flags. */
typedef enum {
  SYNTHESIZER_HEADER_JUMP_SIZE,
  SYNTHESIZER_HEADER_KILL_ON_BARGE_IN,
  SYNTHESIZER_HEADER_SPEAKER_PROFILE,
  SYNTHESIZER_HEADER_COMPLETION_CAUSE,
  SYNTHESIZER_HEADER_COMPLETION_REASON,
  SYNTHESIZER_HEADER_VOICE_GENDER,
  SYNTHESIZER_HEADER_VOICE_AGE,
  SYNTHESIZER_HEADER_VOICE_VARIANT,
  SYNTHESIZER_HEADER_VOICE_NAME,
  SYNTHESIZER_HEADER_PROSODY_VOLUME,
  SYNTHESIZER_HEADER_PROSODY_RATE,
  SYNTHESIZER_HEADER_SPEECH_MARKER,
  SYNTHESIZER_HEADER_SPEECH_LANGUAGE,
  SYNTHESIZER_HEADER_FETCH_HINT,
  SYNTHESIZER_HEADER_AUDIO_FETCH_HINT,
  SYNTHESIZER_HEADER_FAILED_URI,
  SYNTHESIZER_HEADER_FAILED_URI_CAUSE,
  SYNTHESIZER_HEADER_SPEAK_RESTART,
  SYNTHESIZER_HEADER_SPEAK_LENGTH,
  SYNTHESIZER_HEADER_LOAD_LEXICON,
  SYNTHESIZER_HEADER_LEXICON_SEARCH_ORDER,
  SYNTHESIZER_HEADER_COUNT
} mrcp_synthesizer_header_id;

typedef struct mrcp_voice_param_t {
  mrcp_voice_gender_e gender;
  apr_size_t age;
  apr_size_t variant;
  apt_str_t name;
} mrcp_voice_param_t;

typedef struct mrcp_prosody_param_t {
  mrcp_prosody_volume_t volume;
  mrcp_prosody_rate_t rate;
} mrcp_prosody_param_t;

typedef struct mrcp_synth_header_t {
  apt_str_t jump_size;
  apt_bool_t kill_on_barge_in;
  apt_str_t speaker_profile;
  mrcp_synth_completion_cause_e completion_cause;
  apt_str_t completion_reason;
  mrcp_voice_param_t voice_param;
  mrcp_prosody_param_t prosody_param;
  apt_str_t speech_marker;
  apt_str_t speech_language;
  apt_str_t fetch_hint;
  apt_str_t audio_fetch_hint;
  apt_str_t failed_uri;
  apt_str_t failed_uri_cause;
  apt_bool_t speak_restart;
  apt_str_t speak_length;
  apt_bool_t load_lexicon;
  apt_str_t lexicon_search_order;
} mrcp_synth_header_t;

typedef struct mrcp_start_line_t {
  mrcp_message_type_e message_type;
  mrcp_version_e version;
  mrcp_method_id method_id; /* request, response: the method; event: the event id */
  apt_str_t method_name;    /* request: method name; event: event name */
  mrcp_request_id request_id;
  mrcp_status_code_e status_code;     /* responses */
  mrcp_request_state_e request_state; /* responses and events */
} mrcp_start_line_t;

typedef struct mrcp_message_t {
  mrcp_start_line_t start_line;
  apt_str_t channel_id;                  /* "<session>@speechsynth" */
  mrcp_generic_header_t *generic_header; /* NULL: no generic header block */
  apr_uint32_t generic_properties;       /* presence flags, bit = mrcp_generic_header_id */
  mrcp_synth_header_t *synth_header;     /* NULL: no synthesizer header block */
  apr_uint32_t synth_properties;         /* presence flags, bit = mrcp_synthesizer_header_id */
  apt_str_t body;                        /* buf NULL: no body */
  apr_pool_t *pool;
  /*
   * Headers the record has no field for (extension and vendor headers), and
   * known headers given with an empty value (GET-PARAMS names what it asks
   * for that way), as apt_pair_t in the order given; NULL when none. The
   * server passes them on as a client wrote them.
   */
  apr_array_header_t *other_headers;
} mrcp_message_t;

/* Creates an empty request (no header blocks, no body) from the pool. */
mrcp_message_t *mrcp_request_create(mrcp_version_e version, mrcp_method_id method_id, mrcp_request_id request_id,
                                    apr_pool_t *pool);
/*
 * Creates the response to request: same method, request id, version and
 * channel id; status 200, request-state COMPLETE; no headers. NULL for a
 * null request or pool, or a request that is not a request.
 */
mrcp_message_t *mrcp_response_create(const mrcp_message_t *request, apr_pool_t *pool);
/*
 * Creates an event for request: event id as method, request id, version and
 * channel id of the request, request-state IN-PROGRESS; no headers. NULL on
 * bad arguments (null, not a request, unknown event id).
 */
mrcp_message_t *mrcp_event_create(const mrcp_message_t *request, mrcp_method_id event_id, apr_pool_t *pool);

/* Returns the generic header block, creating it (all fields empty) when absent. */
mrcp_generic_header_t *mrcp_generic_header_prepare(mrcp_message_t *message);
/* Returns the synthesizer header block, creating it (defaults) when absent. */
mrcp_synth_header_t *mrcp_resource_header_prepare(mrcp_message_t *message);

/* Marks a header present. FALSE for a null message, a missing block or a bad id. */
apt_bool_t mrcp_generic_header_property_add(mrcp_message_t *message, mrcp_generic_header_id id);
apt_bool_t mrcp_resource_header_property_add(mrcp_message_t *message, mrcp_synthesizer_header_id id);
/* Tells whether a header is present (its block exists and its flag is set). */
apt_bool_t mrcp_generic_header_property_check(const mrcp_message_t *message, mrcp_generic_header_id id);
apt_bool_t mrcp_resource_header_property_check(const mrcp_message_t *message, mrcp_synthesizer_header_id id);

/*
 * Text of a completion cause: "normal", "barge-in", "parse-failure",
 * "uri-failure", "error", "language-unsupported", "lexicon-load-failure",
 * "cancelled" for 0..7; NULL otherwise or for an unknown version.
 */
const char *mrcp_synth_completion_cause_get(mrcp_synth_completion_cause_e cause, mrcp_version_e version);

/* Names: "SPEAK", "STOP", ...; "SPEAK-COMPLETE", "SPEECH-MARKER"; "COMPLETE", ... NULL when unknown. */
const char *mrcp_synth_method_name_get(mrcp_method_id method_id);
apt_bool_t mrcp_synth_method_id_find(const char *name, mrcp_method_id *method_id);
const char *mrcp_synth_event_name_get(mrcp_method_id event_id);
const char *mrcp_request_state_name_get(mrcp_request_state_e state);

#ifdef __cplusplus
}
#endif

#endif /* CORVEX_MRCP_MESSAGE_H */
