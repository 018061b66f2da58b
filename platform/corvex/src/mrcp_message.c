/*
 * MRCP messages of the synthesizer resource: creation, header blocks,
 * presence flags and the names of methods, events, states and causes.
 *
 * A message and everything it points to come from one pool; a response or
 * event copies what it needs from its request, so it stays valid in its own
 * pool whatever happens to the request's.
 */
#include "corvex/mrcp_message.h"

#include <apr_strings.h>
#include <string.h>

#include "corvex_internal.h"

static const char *const kMethodNames[SYNTHESIZER_METHOD_COUNT] = {
    "SET-PARAMS", "GET-PARAMS", "SPEAK", "STOP", "PAUSE", "RESUME", "BARGE-IN-OCCURRED", "CONTROL", "DEFINE-LEXICON"};

static const char *const kEventNames[SYNTHESIZER_EVENT_COUNT] = {"SPEECH-MARKER", "SPEAK-COMPLETE"};

static const char *const kRequestStateNames[MRCP_REQUEST_STATE_COUNT] = {"COMPLETE", "IN-PROGRESS", "PENDING"};

static const char *const kCompletionCauses[SYNTHESIZER_COMPLETION_CAUSE_COUNT] = {
    "normal",   "barge-in", "parse-failure", "uri-failure", "error", "language-unsupported", "lexicon-load-failure",
    "cancelled"};

static apt_bool_t version_known(mrcp_version_e version) {
  return version == MRCP_VERSION_1 || version == MRCP_VERSION_2;
}

static mrcp_message_t *message_alloc(mrcp_message_type_e type, apr_pool_t *pool) {
  mrcp_message_t *message = (mrcp_message_t *)apr_pcalloc(pool, sizeof(*message));
  message->start_line.message_type = type;
  message->start_line.status_code = MRCP_STATUS_CODE_UNKNOWN;
  message->start_line.request_state = MRCP_REQUEST_STATE_UNKNOWN;
  apt_string_assign(&message->channel_id, NULL, pool);
  message->body.buf = NULL;
  message->body.length = 0;
  message->pool = pool;
  return message;
}

mrcp_message_t *mrcp_request_create(mrcp_version_e version, mrcp_method_id method_id, mrcp_request_id request_id,
                                    apr_pool_t *pool) {
  if (!pool) {
    CORVEX_REFUSE("mrcp_request_create: null pool");
    return NULL;
  }
  if (!version_known(version) || method_id >= SYNTHESIZER_METHOD_COUNT) {
    CORVEX_REFUSE("mrcp_request_create: unknown %s (version %d, method %lu)",
                  version_known(version) ? "method" : "version", (int)version, (unsigned long)method_id);
    return NULL;
  }
  mrcp_message_t *request = message_alloc(MRCP_MESSAGE_TYPE_REQUEST, pool);
  request->start_line.version = version;
  request->start_line.method_id = method_id;
  apt_string_assign(&request->start_line.method_name, kMethodNames[method_id], pool);
  request->start_line.request_id = request_id;
  return request;
}

/* Checks that request is a request; logs the refusal on behalf of caller. */
static apt_bool_t request_usable(const mrcp_message_t *request, apr_pool_t *pool, const char *caller) {
  if (!request || !pool) {
    CORVEX_REFUSE("%s: null %s", caller, request ? "pool" : "request");
    return FALSE;
  }
  if (request->start_line.message_type != MRCP_MESSAGE_TYPE_REQUEST) {
    CORVEX_REFUSE("%s: message of type %d is not a request", caller, (int)request->start_line.message_type);
    return FALSE;
  }
  return TRUE;
}

mrcp_message_t *mrcp_response_create(const mrcp_message_t *request, apr_pool_t *pool) {
  if (!request_usable(request, pool, "mrcp_response_create")) return NULL;
  mrcp_message_t *response = message_alloc(MRCP_MESSAGE_TYPE_RESPONSE, pool);
  response->start_line.version = request->start_line.version;
  response->start_line.method_id = request->start_line.method_id;
  apt_string_copy(&response->start_line.method_name, &request->start_line.method_name, pool);
  response->start_line.request_id = request->start_line.request_id;
  response->start_line.status_code = MRCP_STATUS_CODE_SUCCESS;
  response->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
  apt_string_copy(&response->channel_id, &request->channel_id, pool);
  return response;
}

mrcp_message_t *mrcp_event_create(const mrcp_message_t *request, mrcp_method_id event_id, apr_pool_t *pool) {
  if (!request_usable(request, pool, "mrcp_event_create")) return NULL;
  if (event_id >= SYNTHESIZER_EVENT_COUNT) {
    CORVEX_REFUSE("mrcp_event_create: unknown event id %lu", (unsigned long)event_id);
    return NULL;
  }
  mrcp_message_t *event = message_alloc(MRCP_MESSAGE_TYPE_EVENT, pool);
  event->start_line.version = request->start_line.version;
  event->start_line.method_id = event_id;
  apt_string_assign(&event->start_line.method_name, kEventNames[event_id], pool);
  event->start_line.request_id = request->start_line.request_id;
  event->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
  apt_string_copy(&event->channel_id, &request->channel_id, pool);
  return event;
}

mrcp_generic_header_t *mrcp_generic_header_prepare(mrcp_message_t *message) {
  if (!message || !message->pool) {
    CORVEX_REFUSE("mrcp_generic_header_prepare: null %s", message ? "message pool" : "message");
    return NULL;
  }
  if (!message->generic_header) {
    /* All strings empty (buf NULL), numbers 0, no vendor parameters. */
    message->generic_header = (mrcp_generic_header_t *)apr_pcalloc(message->pool, sizeof(mrcp_generic_header_t));
  }
  return message->generic_header;
}

mrcp_synth_header_t *mrcp_resource_header_prepare(mrcp_message_t *message) {
  if (!message || !message->pool) {
    CORVEX_REFUSE("mrcp_resource_header_prepare: null %s", message ? "message pool" : "message");
    return NULL;
  }
  if (!message->synth_header) {
    mrcp_synth_header_t *header = (mrcp_synth_header_t *)apr_pcalloc(message->pool, sizeof(mrcp_synth_header_t));
    /* Enumerations start at "unknown" rather than at their 0 value, which means something. */
    header->completion_cause = SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN;
    header->voice_param.gender = VOICE_GENDER_UNKNOWN;
    header->prosody_param.volume.type = PROSODY_VOLUME_TYPE_UNKNOWN;
    header->prosody_param.volume.value.label = PROSODY_VOLUME_UNKNOWN;
    header->prosody_param.rate.type = PROSODY_RATE_TYPE_UNKNOWN;
    header->prosody_param.rate.value.label = PROSODY_RATE_UNKNOWN;
    message->synth_header = header;
  }
  return message->synth_header;
}

apt_bool_t mrcp_generic_header_property_add(mrcp_message_t *message, mrcp_generic_header_id id) {
  if (!message || !message->generic_header) {
    CORVEX_REFUSE("mrcp_generic_header_property_add: %s",
                  message ? "message has no generic header block" : "null message");
    return FALSE;
  }
  if ((unsigned)id >= GENERIC_HEADER_COUNT) {
    CORVEX_REFUSE("mrcp_generic_header_property_add: unknown header id %d", (int)id);
    return FALSE;
  }
  message->generic_properties |= (apr_uint32_t)1u << (unsigned)id;
  return TRUE;
}

apt_bool_t mrcp_resource_header_property_add(mrcp_message_t *message, mrcp_synthesizer_header_id id) {
  if (!message || !message->synth_header) {
    CORVEX_REFUSE("mrcp_resource_header_property_add: %s",
                  message ? "message has no synthesizer header block" : "null message");
    return FALSE;
  }
  if ((unsigned)id >= SYNTHESIZER_HEADER_COUNT) {
    CORVEX_REFUSE("mrcp_resource_header_property_add: unknown header id %d", (int)id);
    return FALSE;
  }
  message->synth_properties |= (apr_uint32_t)1u << (unsigned)id;
  return TRUE;
}

apt_bool_t mrcp_generic_header_property_check(const mrcp_message_t *message, mrcp_generic_header_id id) {
  if (!message) {
    CORVEX_REFUSE("mrcp_generic_header_property_check: null message");
    return FALSE;
  }
  if ((unsigned)id >= GENERIC_HEADER_COUNT) {
    CORVEX_REFUSE("mrcp_generic_header_property_check: unknown header id %d", (int)id);
    return FALSE;
  }
  return message->generic_header && (message->generic_properties & ((apr_uint32_t)1u << (unsigned)id));
}

apt_bool_t mrcp_resource_header_property_check(const mrcp_message_t *message, mrcp_synthesizer_header_id id) {
  if (!message) {
    CORVEX_REFUSE("mrcp_resource_header_property_check: null message");
    return FALSE;
  }
  if ((unsigned)id >= SYNTHESIZER_HEADER_COUNT) {
    CORVEX_REFUSE("mrcp_resource_header_property_check: unknown header id %d", (int)id);
    return FALSE;
  }
  return message->synth_header && (message->synth_properties & ((apr_uint32_t)1u << (unsigned)id));
}

const char *mrcp_synth_completion_cause_get(mrcp_synth_completion_cause_e cause, mrcp_version_e version) {
  if (!version_known(version) || (unsigned)cause >= SYNTHESIZER_COMPLETION_CAUSE_COUNT) return NULL;
  return kCompletionCauses[cause];
}

const char *mrcp_synth_method_name_get(mrcp_method_id method_id) {
  return method_id < SYNTHESIZER_METHOD_COUNT ? kMethodNames[method_id] : NULL;
}

apt_bool_t mrcp_synth_method_id_find(const char *name, mrcp_method_id *method_id) {
  if (!name || !method_id) return FALSE;
  for (mrcp_method_id i = 0; i < SYNTHESIZER_METHOD_COUNT; i++) {
    if (strcmp(kMethodNames[i], name) == 0) {
      *method_id = i;
      return TRUE;
    }
  }
  return FALSE;
}

const char *mrcp_synth_event_name_get(mrcp_method_id event_id) {
  return event_id < SYNTHESIZER_EVENT_COUNT ? kEventNames[event_id] : NULL;
}

const char *mrcp_request_state_name_get(mrcp_request_state_e state) {
  return (unsigned)state < MRCP_REQUEST_STATE_COUNT ? kRequestStateNames[state] : NULL;
}
