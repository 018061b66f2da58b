// The plugin's face towards the MRCP server: the exported entry points, the
// log source, and the method tables of the engine, the channel and the audio
// stream. The tables are static and read-only; the server calls the engine
// and channel tables on its control thread and the stream's read_frame on
// its media thread.
#ifndef QEL_TARNWICKSS_PLUGIN_H
#define QEL_TARNWICKSS_PLUGIN_H

#include "corvex/mrcp_engine.h"

extern "C" {
// The plugin's log source; the server's default source until the server
// hands the plugin its own with mrcp_plugin_log_source_set.
extern apt_log_source_t* TARNWICKSS_PLUGIN;
extern const mrcp_plugin_version_t mrcp_plugin_version;

mrcp_engine_t* mrcp_plugin_create(apr_pool_t* pool);
apt_bool_t mrcp_plugin_logger_set(apt_logger_t* logger);
apt_bool_t mrcp_plugin_log_source_set(apt_log_source_t* source);
}

namespace TARNWICKSS {

// Version banner values, logged by every mrcp_plugin_create.
constexpr const char* kPluginVersion = TARNWICKSS_VERSION;
constexpr const char* kPluginDate = "2022-09-29";

// The tables handed to the server.
extern const mrcp_engine_method_vtable_t kEngineVtable;
extern const mrcp_engine_channel_method_vtable_t kChannelVtable;
extern const mpf_audio_stream_vtable_t kAudioStreamVtable;

}  // namespace TARNWICKSS

#endif  // QEL_TARNWICKSS_PLUGIN_H
