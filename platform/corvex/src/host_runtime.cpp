// The host runtime: loads a plugin and drives it the way the server does.
// This file: the plugin library, its engine, and what the plugin told the
// host (events, violations).
#include <apr_file_io.h>
#include <apr_general.h>
#include <apr_strings.h>
#include <apr_time.h>
#include <dlfcn.h>

#include <algorithm>

#include "corvex/mrcp_text.h"
#include "host_channel.h"
#include "message_headers.h"

namespace corvex {

namespace {

std::string BaseName(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  std::size_t dot = name.find('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name.empty() ? std::string("plugin") : name;
}

Impl* EngineImpl(mrcp_engine_t* engine, const char* caller) {
  Impl* impl = engine ? static_cast<Impl*>(engine->event_obj) : nullptr;
  if (!impl) HOST_LOG(APT_PRIO_WARNING, "%s: not an engine of this host", caller);
  return impl;
}

apt_bool_t OnEngineOpen(mrcp_engine_t* engine, apt_bool_t status) {
  Impl* impl = EngineImpl(engine, "engine open acknowledgement");
  if (!impl) return FALSE;
  HostEvent event = Impl::NewEvent(HostEvent::Kind::EngineOpened, -1);
  event.status = status != FALSE;
  MutexLock lock(&impl->mutex);
  impl->engine_open_acked = true;
  impl->engine_open_status = event.status;
  impl->checker.EngineOpenAcknowledged();
  impl->LogViolations();
  impl->Push(std::move(event));
  return TRUE;
}

apt_bool_t OnEngineClose(mrcp_engine_t* engine) {
  Impl* impl = EngineImpl(engine, "engine close acknowledgement");
  if (!impl) return FALSE;
  HostEvent event = Impl::NewEvent(HostEvent::Kind::EngineClosed, -1);
  MutexLock lock(&impl->mutex);
  impl->engine_close_acked = true;
  impl->checker.EngineCloseAcknowledged();
  impl->LogViolations();
  impl->Push(std::move(event));
  return TRUE;
}

const mrcp_engine_event_vtable_t kEngineEvents = {OnEngineOpen, OnEngineClose};

bool EngineTableComplete(const mrcp_engine_method_vtable_t* table) {
  return table && table->destroy && table->open && table->close && table->create_channel;
}

}  // namespace

Host::Impl::Impl(HostConfig cfg) : config(std::move(cfg)) {}

Host::Impl::~Impl() = default;

HostEvent Host::Impl::NewEvent(HostEvent::Kind kind, int channel) {
  HostEvent event;
  event.kind = kind;
  event.time_us = apr_time_now();
  event.thread = std::this_thread::get_id();
  event.channel = channel;
  return event;
}

HostEvent Host::Impl::MessageEvent(int channel, const mrcp_message_t* message) {
  HostEvent event = NewEvent(HostEvent::Kind::Message, channel);
  const mrcp_start_line_t& line = message->start_line;
  event.message_type = line.message_type;
  event.method_id = line.method_id;
  event.request_id = line.request_id;
  event.status_code = line.status_code;
  event.request_state = line.request_state;
  if (message->synth_header && (message->synth_properties & (1u << SYNTHESIZER_HEADER_COMPLETION_CAUSE))) {
    event.has_completion_cause = true;
    event.completion_cause = message->synth_header->completion_cause;
  }
  if (message->body.buf && message->body.length > 0) event.body.assign(message->body.buf, message->body.length);
  event.text = Render(message);
  return event;
}

void Host::Impl::Push(HostEvent&& event) {
  events.push_back(std::move(event));
  changed.notify_all();
}

void Host::Impl::LogViolations() {
  const std::vector<ProtocolViolation>& found = checker.violations();
  for (; violations_logged < found.size(); ++violations_logged) {
    const ProtocolViolation& v = found[violations_logged];
    HOST_LOG(APT_PRIO_WARNING, "protocol violation: channel %d, request %" PRIu32 ": %s (%s)", v.channel, v.request_id,
             v.rule.c_str(), v.detail.c_str());
  }
}

bool Host::Impl::WaitEngineAck(bool open, std::chrono::milliseconds wait) const {
  const auto deadline = Clock::now() + wait;
  MutexLock lock(&mutex);
  while (!(open ? engine_open_acked : engine_close_acked) && lock.WaitUntil(changed, deadline)) {
  }
  return open ? engine_open_acked : engine_close_acked;
}

void Host::Impl::Unload() {
  if (engine_pool) apr_pool_destroy(engine_pool);
  engine_pool = nullptr;
  engine = nullptr;
  engine_config = nullptr;
  if (library) dlclose(library);
  library = nullptr;
  engine_open_called = false;
  engine_closed = false;
  MutexLock lock(&mutex);
  engine_open_acked = false;
  engine_open_status = false;
  engine_close_acked = false;
}

// ---------------------------------------------------------------- Host

Host::Host(HostConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {
  apr_initialize();
  apr_pool_create(&impl_->root_pool, nullptr);
  const std::string& root = impl_->config.root;
  impl_->layout = apt_default_dir_layout_create(root.empty() ? "." : root.c_str(), impl_->root_pool);
  if (impl_->config.create_dirs && !root.empty()) {
    for (apr_size_t id = 0; id < APT_LAYOUT_DIR_COUNT; ++id) {
      const char* dir = apt_dir_layout_path_get(impl_->layout, id);
      apr_status_t status = apr_dir_make_recursive(dir, APR_OS_DEFAULT, impl_->root_pool);
      if (status != APR_SUCCESS) {
        char reason[128];
        HOST_LOG(APT_PRIO_WARNING, "cannot create directory %s: %s", dir, apr_strerror(status, reason, sizeof(reason)));
      }
    }
    // The plugin's status files go to var/status.
    const char* status_dir = apt_vardir_filepath_get(impl_->layout, "status", impl_->root_pool);
    if (!status_dir || apr_dir_make_recursive(status_dir, APR_OS_DEFAULT, impl_->root_pool) != APR_SUCCESS) {
      HOST_LOG(APT_PRIO_WARNING, "cannot create directory %s", status_dir ? status_dir : "var/status");
    }
  }
}

Host::~Host() {
  if (impl_->library) DestroyEngine();
  if (impl_->HasUnclosed()) {
    // The plugin may still call into a channel that never closed: its
    // records, the pools and the library stay as they are.
    HOST_LOG(APT_PRIO_WARNING, "host ends with channels that never closed; their memory is left in place");
    impl_.release();
    return;
  }
  apr_pool_destroy(impl_->root_pool);
  apr_terminate();
}

bool Host::LoadPlugin(const std::string& path) {
  Impl& impl = *impl_;
  if (impl.library) {
    HOST_LOG(APT_PRIO_WARNING, "a plugin is loaded already; %s refused", path.c_str());
    return false;
  }
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* reason = dlerror();
    HOST_LOG(APT_PRIO_WARNING, "cannot load plugin %s: %s", path.c_str(), reason ? reason : "unknown");
    return false;
  }
  auto creator = reinterpret_cast<mrcp_plugin_creator_f>(dlsym(library, MRCP_PLUGIN_CREATOR_SYM));
  auto version = static_cast<const mrcp_plugin_version_t*>(dlsym(library, MRCP_PLUGIN_VERSION_SYM));
  auto logger_set = reinterpret_cast<mrcp_plugin_logger_set_f>(dlsym(library, MRCP_PLUGIN_LOGGER_SET_SYM));
  auto source_set = reinterpret_cast<mrcp_plugin_log_source_set_f>(dlsym(library, MRCP_PLUGIN_LOG_SOURCE_SET_SYM));
  if (!creator || !version || !logger_set || !source_set) {
    HOST_LOG(APT_PRIO_WARNING, "plugin %s lacks %s", path.c_str(),
             !creator      ? MRCP_PLUGIN_CREATOR_SYM
             : !version    ? MRCP_PLUGIN_VERSION_SYM
             : !logger_set ? MRCP_PLUGIN_LOGGER_SET_SYM
                           : MRCP_PLUGIN_LOG_SOURCE_SET_SYM);
    dlclose(library);
    return false;
  }
  if (version->major != PLUGIN_MAJOR_VERSION || version->minor != PLUGIN_MINOR_VERSION) {
    HOST_LOG(APT_PRIO_WARNING, "plugin %s has interface version %d.%d.%d.%d; this server implements %d.%d",
             path.c_str(), version->major, version->minor, version->patch, version->build, PLUGIN_MAJOR_VERSION,
             PLUGIN_MINOR_VERSION);
    dlclose(library);
    return false;
  }
  apt_logger_t* logger = apt_log_instance_get();
  if (logger) logger_set(logger);
  if (!source_set(def_log_source)) {
    HOST_LOG(APT_PRIO_WARNING, "plugin %s did not take the log source", path.c_str());
  }

  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, impl.root_pool);
  mrcp_engine_t* engine = creator(pool);
  if (!engine) {
    HOST_LOG(APT_PRIO_WARNING, "plugin %s created no engine", path.c_str());
    apr_pool_destroy(pool);
    dlclose(library);
    return false;
  }
  if (!EngineTableComplete(engine->method_vtable) || engine->resource_id != MRCP_SYNTHESIZER_RESOURCE) {
    HOST_LOG(APT_PRIO_WARNING, "plugin %s: engine refused (%s)", path.c_str(),
             engine->resource_id != MRCP_SYNTHESIZER_RESOURCE ? "not a synthesizer" : "incomplete method table");
    if (engine->method_vtable && engine->method_vtable->destroy) engine->method_vtable->destroy(engine);
    apr_pool_destroy(pool);
    dlclose(library);
    return false;
  }

  impl.library = library;
  impl.plugin_name = BaseName(path);
  impl.engine_pool = pool;
  impl.engine = engine;
  auto* config = static_cast<mrcp_engine_config_t*>(apr_pcalloc(pool, sizeof(mrcp_engine_config_t)));
  config->id = apr_pstrdup(pool, impl.plugin_name.c_str());
  config->name = config->id;
  config->max_channel_count = impl.config.max_channel_count;
  config->params = apr_table_make(pool, 1);
  impl.engine_config = config;
  engine->id = config->id;
  engine->config = config;
  engine->dir_layout = impl.layout;
  engine->event_obj = &impl;
  engine->event_vtable = &kEngineEvents;
  HOST_LOG(APT_PRIO_INFO, "plugin %s loaded (interface %d.%d.%d.%d)", path.c_str(), version->major, version->minor,
           version->patch, version->build);
  return true;
}

mrcp_engine_t* Host::engine() const { return impl_->engine; }

bool Host::OpenEngine(std::chrono::milliseconds wait) {
  Impl& impl = *impl_;
  if (!impl.engine || impl.engine_open_called) {
    HOST_LOG(APT_PRIO_WARNING, "OpenEngine: %s", impl.engine ? "engine opened already" : "no engine");
    return false;
  }
  {
    MutexLock lock(&impl.mutex);
    impl.engine_open_acked = false;
  }
  // The acknowledgement may arrive on any thread, before open returns or after.
  if (!impl.engine->method_vtable->open(impl.engine)) {
    HOST_LOG(APT_PRIO_WARNING, "engine %s refused open", impl.plugin_name.c_str());
    return false;
  }
  impl.engine_open_called = true;
  if (!impl.WaitEngineAck(true, wait)) {
    HOST_LOG(APT_PRIO_WARNING, "engine %s: no open acknowledgement within %lld ms", impl.plugin_name.c_str(),
             static_cast<long long>(wait.count()));
    return false;
  }
  MutexLock lock(&impl.mutex);
  if (!impl.engine_open_status) HOST_LOG(APT_PRIO_WARNING, "engine %s failed to open", impl.plugin_name.c_str());
  return impl.engine_open_status;
}

bool Host::CloseEngine(std::chrono::milliseconds wait) {
  Impl& impl = *impl_;
  if (!impl.engine || !impl.engine_open_called || impl.engine_closed) {
    HOST_LOG(APT_PRIO_WARNING, "CloseEngine: engine is not open");
    return false;
  }
  // Channels cannot outlive their engine's close.
  impl.TeardownChannels();
  if (impl.HasUnclosed()) {
    HOST_LOG(APT_PRIO_WARNING, "engine %s not closed: a channel's close was never acknowledged",
             impl.plugin_name.c_str());
    return false;
  }
  {
    MutexLock lock(&impl.mutex);
    impl.engine_close_acked = false;
  }
  impl.engine_closed = true;
  if (!impl.engine->method_vtable->close(impl.engine)) {
    HOST_LOG(APT_PRIO_WARNING, "engine %s refused close", impl.plugin_name.c_str());
    return false;
  }
  if (!impl.WaitEngineAck(false, wait)) {
    HOST_LOG(APT_PRIO_WARNING, "engine %s: no close acknowledgement within %lld ms", impl.plugin_name.c_str(),
             static_cast<long long>(wait.count()));
    return false;
  }
  return true;
}

void Host::DestroyEngine() {
  Impl& impl = *impl_;
  if (!impl.engine) {
    HOST_LOG(APT_PRIO_WARNING, "DestroyEngine: no engine");
    return;
  }
  impl.TeardownChannels();
  if (impl.HasUnclosed()) {
    HOST_LOG(APT_PRIO_WARNING, "engine %s not destroyed: a channel's close was never acknowledged",
             impl.plugin_name.c_str());
    return;
  }
  if (impl.engine_open_called && !impl.engine_closed) CloseEngine();
  impl.engine->method_vtable->destroy(impl.engine);
  impl.Unload();
  HOST_LOG(APT_PRIO_INFO, "plugin %s unloaded", impl.plugin_name.c_str());
}

std::vector<ProtocolViolation> Host::Violations() const {
  MutexLock lock(&impl_->mutex);
  return impl_->checker.violations();
}

std::vector<HostEvent> Host::Events() const {
  MutexLock lock(&impl_->mutex);
  return impl_->events;
}

std::vector<HostEvent> Host::TakeEvents() {
  std::vector<HostEvent> taken;
  MutexLock lock(&impl_->mutex);
  taken.swap(impl_->events);
  return taken;
}

bool Host::WaitFor(const std::function<bool(const std::vector<HostEvent>&)>& pred,
                   std::chrono::milliseconds wait) const {
  const Impl& impl = *impl_;
  const auto deadline = Clock::now() + wait;
  MutexLock lock(&impl.mutex);
  while (!pred(impl.events)) {
    if (!lock.WaitUntil(impl.changed, deadline)) return pred(impl.events);
  }
  return true;
}

bool Host::WaitForMessage(int channel, mrcp_message_type_e type, mrcp_method_id method,
                          std::chrono::milliseconds wait) const {
  return WaitFor(
      [=](const std::vector<HostEvent>& events) {
        return std::any_of(events.begin(), events.end(), [=](const HostEvent& e) {
          return e.kind == HostEvent::Kind::Message && e.channel == channel && e.message_type == type &&
                 e.method_id == method;
        });
      },
      wait);
}

const apt_dir_layout_t* Host::dir_layout() const { return impl_->layout; }

const HostConfig& Host::config() const { return impl_->config; }

}  // namespace corvex
