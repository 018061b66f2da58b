/*
 * Corvex server: the plugin interface of a resource engine.
 *
 * A plugin exports mrcp_plugin_create (which returns an engine made with
 * mrcp_engine_create), mrcp_plugin_version, mrcp_plugin_logger_set and
 * mrcp_plugin_log_source_set. The server calls the engine's method table
 * from its control thread; the plugin acknowledges open and close through
 * the respond helpers below, from any thread and possibly after the call
 * returned. Channels work the same way: open, close and process_request are
 * acknowledged with the channel respond helpers and messages are sent with
 * mrcp_engine_channel_message_send.
 */
#ifndef CORVEX_MRCP_ENGINE_H
#define CORVEX_MRCP_ENGINE_H

#include "corvex/apt.h"
#include "corvex/apt_log.h"
#include "corvex/mpf.h"
#include "corvex/mrcp_message.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Resources a plugin may implement; this server knows the synthesizer. */
typedef enum { MRCP_SYNTHESIZER_RESOURCE = 0, MRCP_RESOURCE_TYPE_COUNT } mrcp_resource_id;

/* The plugin-interface version this server implements: 1.7.0.0. */
#define PLUGIN_MAJOR_VERSION 1
#define PLUGIN_MINOR_VERSION 7
#define PLUGIN_PATCH_VERSION 0
#define PLUGIN_BUILD_VERSION 0

typedef struct mrcp_plugin_version_t {
  int major;
  int minor;
  int patch;
  int build;
} mrcp_plugin_version_t;

typedef struct mrcp_engine_t mrcp_engine_t;
typedef struct mrcp_engine_channel_t mrcp_engine_channel_t;

/* Entry points the plugin exports (what the server looks up). */
typedef mrcp_engine_t *(*mrcp_plugin_creator_f)(apr_pool_t *pool);
typedef apt_bool_t (*mrcp_plugin_logger_set_f)(apt_logger_t *logger);
typedef apt_bool_t (*mrcp_plugin_log_source_set_f)(apt_log_source_t *source);

#define MRCP_PLUGIN_CREATOR_SYM "mrcp_plugin_create"
#define MRCP_PLUGIN_VERSION_SYM "mrcp_plugin_version"
#define MRCP_PLUGIN_LOGGER_SET_SYM "mrcp_plugin_logger_set"
#define MRCP_PLUGIN_LOG_SOURCE_SET_SYM "mrcp_plugin_log_source_set"

/* The engine method table, in order. */
typedef struct mrcp_engine_method_vtable_t {
  apt_bool_t (*destroy)(mrcp_engine_t *engine);
  apt_bool_t (*open)(mrcp_engine_t *engine);
  apt_bool_t (*close)(mrcp_engine_t *engine);
  mrcp_engine_channel_t *(*create_channel)(mrcp_engine_t *engine, apr_pool_t *pool);
} mrcp_engine_method_vtable_t;

/* The server's side of an engine: acknowledgements. */
typedef struct mrcp_engine_event_vtable_t {
  apt_bool_t (*on_open)(mrcp_engine_t *engine, apt_bool_t status);
  apt_bool_t (*on_close)(mrcp_engine_t *engine);
} mrcp_engine_event_vtable_t;

/* The engine's configuration as the server holds it. */
typedef struct mrcp_engine_config_t {
  const char *id;
  const char *name;
  apr_size_t max_channel_count;
  apr_table_t *params;
} mrcp_engine_config_t;

struct mrcp_engine_t {
  const char *id;
  mrcp_resource_id resource_id;
  void *obj; /* the plugin's engine object */
  const mrcp_engine_method_vtable_t *method_vtable;
  const mrcp_engine_event_vtable_t *event_vtable; /* set by the server */
  void *event_obj;                                /* the server's */
  const mrcp_engine_config_t *config;             /* set by the server */
  const apt_dir_layout_t *dir_layout;             /* set by the server */
  apr_pool_t *pool;
};

/*
 * Creates an engine (called by the plugin's creator). Returns NULL for an
 * unknown resource, a null method table or pool.
 */
mrcp_engine_t *mrcp_engine_create(mrcp_resource_id resource_id, void *obj, const mrcp_engine_method_vtable_t *vtable,
                                  apr_pool_t *pool);

/* Acknowledge the engine's open (with its result) and close. */
apt_bool_t mrcp_engine_open_respond(mrcp_engine_t *engine, apt_bool_t status);
apt_bool_t mrcp_engine_close_respond(mrcp_engine_t *engine);

/* The channel method table, in order. */
typedef struct mrcp_engine_channel_method_vtable_t {
  apt_bool_t (*destroy)(mrcp_engine_channel_t *channel);
  apt_bool_t (*open)(mrcp_engine_channel_t *channel);
  apt_bool_t (*close)(mrcp_engine_channel_t *channel);
  apt_bool_t (*process_request)(mrcp_engine_channel_t *channel, mrcp_message_t *request);
} mrcp_engine_channel_method_vtable_t;

/* The server's side of a channel. */
typedef struct mrcp_engine_channel_event_vtable_t {
  apt_bool_t (*on_open)(mrcp_engine_channel_t *channel, apt_bool_t status);
  apt_bool_t (*on_close)(mrcp_engine_channel_t *channel);
  apt_bool_t (*on_message)(mrcp_engine_channel_t *channel, mrcp_message_t *message);
} mrcp_engine_channel_event_vtable_t;

struct mrcp_engine_channel_t {
  const mrcp_engine_channel_method_vtable_t *method_vtable;
  void *method_obj;                                       /* the plugin's channel object */
  const mrcp_engine_channel_event_vtable_t *event_vtable; /* set by the server */
  void *event_obj;                                        /* the server's */
  mpf_termination_t *termination;
  mrcp_engine_t *engine;
  const char *id; /* identifier string, set by the server */
  mrcp_version_e mrcp_version;
  apr_pool_t *pool;
};

/*
 * Creates an audio termination around the plugin's stream object and table.
 * Returns NULL for null table, capabilities or pool.
 */
mpf_termination_t *mrcp_engine_audio_termination_create(void *obj, const mpf_audio_stream_vtable_t *stream_vtable,
                                                        mpf_stream_capabilities_t *capabilities, apr_pool_t *pool);

/* Creates a channel of engine (called from create_channel). NULL on bad arguments. */
mrcp_engine_channel_t *mrcp_engine_channel_create(mrcp_engine_t *engine,
                                                  const mrcp_engine_channel_method_vtable_t *vtable, void *method_obj,
                                                  mpf_termination_t *termination, apr_pool_t *pool);

/* Acknowledge a channel's open (with its result) and close; send a response or event. */
apt_bool_t mrcp_engine_channel_open_respond(mrcp_engine_channel_t *channel, apt_bool_t status);
apt_bool_t mrcp_engine_channel_close_respond(mrcp_engine_channel_t *channel);
apt_bool_t mrcp_engine_channel_message_send(mrcp_engine_channel_t *channel, mrcp_message_t *message);

/* The codec negotiated for the channel's source stream, or NULL when none. */
const mpf_codec_descriptor_t *mrcp_engine_source_stream_codec_get(const mrcp_engine_channel_t *channel);

#ifdef __cplusplus
}
#endif

#endif /* CORVEX_MRCP_ENGINE_H */
