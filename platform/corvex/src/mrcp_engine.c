/*
 * The engine side of the plugin interface: engine, termination and channel
 * creation, and the acknowledgements a plugin sends back to the server.
 *
 * The acknowledgements only forward to the event tables the server set on
 * the engine and channel; they may be called from any of the plugin's
 * threads, so they touch nothing but the handles they are given.
 */
#include "corvex/mrcp_engine.h"

#include "corvex_internal.h"

mrcp_engine_t *mrcp_engine_create(mrcp_resource_id resource_id, void *obj, const mrcp_engine_method_vtable_t *vtable,
                                  apr_pool_t *pool) {
  if (!vtable || !pool) {
    CORVEX_REFUSE("mrcp_engine_create: null %s", vtable ? "pool" : "method table");
    return NULL;
  }
  if ((unsigned)resource_id >= MRCP_RESOURCE_TYPE_COUNT) {
    CORVEX_REFUSE("mrcp_engine_create: unknown resource %d", (int)resource_id);
    return NULL;
  }
  mrcp_engine_t *engine = (mrcp_engine_t *)apr_pcalloc(pool, sizeof(*engine));
  engine->resource_id = resource_id;
  engine->obj = obj;
  engine->method_vtable = vtable;
  engine->pool = pool;
  return engine;
}

apt_bool_t mrcp_engine_open_respond(mrcp_engine_t *engine, apt_bool_t status) {
  if (!engine || !engine->event_vtable || !engine->event_vtable->on_open) {
    CORVEX_REFUSE("mrcp_engine_open_respond: %s", engine ? "engine has no server event table" : "null engine");
    return FALSE;
  }
  return engine->event_vtable->on_open(engine, status);
}

apt_bool_t mrcp_engine_close_respond(mrcp_engine_t *engine) {
  if (!engine || !engine->event_vtable || !engine->event_vtable->on_close) {
    CORVEX_REFUSE("mrcp_engine_close_respond: %s", engine ? "engine has no server event table" : "null engine");
    return FALSE;
  }
  return engine->event_vtable->on_close(engine);
}

mpf_termination_t *mrcp_engine_audio_termination_create(void *obj, const mpf_audio_stream_vtable_t *stream_vtable,
                                                        mpf_stream_capabilities_t *capabilities, apr_pool_t *pool) {
  if (!stream_vtable || !capabilities || !pool) {
    CORVEX_REFUSE("mrcp_engine_audio_termination_create: null %s", !stream_vtable  ? "stream table"
                                                                   : !capabilities ? "capabilities"
                                                                                   : "pool");
    return NULL;
  }
  mpf_audio_stream_t *stream = (mpf_audio_stream_t *)apr_pcalloc(pool, sizeof(*stream));
  mpf_termination_t *termination = (mpf_termination_t *)apr_pcalloc(pool, sizeof(*termination));
  stream->obj = obj;
  stream->vtable = stream_vtable;
  stream->termination = termination;
  stream->capabilities = capabilities;
  stream->direction = capabilities->direction;
  termination->pool = pool;
  termination->audio_stream = stream;
  return termination;
}

mrcp_engine_channel_t *mrcp_engine_channel_create(mrcp_engine_t *engine,
                                                  const mrcp_engine_channel_method_vtable_t *vtable, void *method_obj,
                                                  mpf_termination_t *termination, apr_pool_t *pool) {
  if (!engine || !vtable || !pool) {
    CORVEX_REFUSE("mrcp_engine_channel_create: null %s", !engine ? "engine" : !vtable ? "method table" : "pool");
    return NULL;
  }
  mrcp_engine_channel_t *channel = (mrcp_engine_channel_t *)apr_pcalloc(pool, sizeof(*channel));
  channel->method_vtable = vtable;
  channel->method_obj = method_obj;
  channel->termination = termination;
  channel->engine = engine;
  channel->mrcp_version = MRCP_VERSION_2;
  channel->pool = pool;
  return channel;
}

/* The channel's server event table, or NULL with the refusal logged for caller. */
static const mrcp_engine_channel_event_vtable_t *channel_events(const mrcp_engine_channel_t *channel,
                                                                const char *caller) {
  if (!channel) {
    CORVEX_REFUSE("%s: null channel", caller);
    return NULL;
  }
  if (!channel->event_vtable) {
    CORVEX_REFUSE("%s: channel has no server event table", caller);
    return NULL;
  }
  return channel->event_vtable;
}

apt_bool_t mrcp_engine_channel_open_respond(mrcp_engine_channel_t *channel, apt_bool_t status) {
  const mrcp_engine_channel_event_vtable_t *events = channel_events(channel, "mrcp_engine_channel_open_respond");
  if (!events || !events->on_open) return FALSE;
  return events->on_open(channel, status);
}

apt_bool_t mrcp_engine_channel_close_respond(mrcp_engine_channel_t *channel) {
  const mrcp_engine_channel_event_vtable_t *events = channel_events(channel, "mrcp_engine_channel_close_respond");
  if (!events || !events->on_close) return FALSE;
  return events->on_close(channel);
}

apt_bool_t mrcp_engine_channel_message_send(mrcp_engine_channel_t *channel, mrcp_message_t *message) {
  const mrcp_engine_channel_event_vtable_t *events = channel_events(channel, "mrcp_engine_channel_message_send");
  if (!events || !events->on_message) return FALSE;
  if (!message) {
    CORVEX_REFUSE("mrcp_engine_channel_message_send: null message");
    return FALSE;
  }
  return events->on_message(channel, message);
}

const mpf_codec_descriptor_t *mrcp_engine_source_stream_codec_get(const mrcp_engine_channel_t *channel) {
  if (!channel) {
    CORVEX_REFUSE("mrcp_engine_source_stream_codec_get: null channel");
    return NULL;
  }
  if (!channel->termination || !channel->termination->audio_stream) return NULL;
  return channel->termination->audio_stream->rx_descriptor;
}
