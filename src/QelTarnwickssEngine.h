// The synthesizer engine: the one object a loaded plugin keeps for the life
// of the process.
//
// Ownership: the server owns the engine's lifetime (mrcp_plugin_create builds
// it, the engine table's destroy deletes it). The engine owns its event
// processor and everything created on it at start-up; channels are created by
// the engine table's create_channel and destroyed by the server.
//
// Threads: the constructor, Open, Close and the destructor run on the
// server's control thread, one after the other (the server never overlaps
// them). The configuration is read by Open on that thread, before the
// event-processor thread exists; the settings are only read afterwards.
// OnStart, OnShutdown, OnTimeoutElapsed and every channel task run on the
// event-processor thread; OnOpenChannel, OnCloseChannel and the list of open
// channels are confined to that thread and take no lock.
#ifndef QEL_TARNWICKSS_ENGINE_H
#define QEL_TARNWICKSS_ENGINE_H

#include <apr_pools.h>
#include <apr_xml.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "OdaEdpfSoftEventProcessor.h"
#include "OdaEdpfTimer.h"
#include "QelSdrManager.h"
#include "QelTarnwickssSettings.h"
#include "QelWaveformManager.h"
#include "corvex/apt.h"
#include "corvex/mrcp_engine.h"

class BrillCloudRequester;

namespace OdaEdpf {
class Logger;
}  // namespace OdaEdpf

namespace TARNWICKSS {

class Channel;
class CloudWorkers;

class Engine : public OdaEdpf::SoftEventProcessor::Observer, public OdaEdpf::TimerHandler {
 public:
  // Initialises the runtime and, when init-sdk holds (it does until a
  // configuration says otherwise), the cloud SDK.
  explicit Engine(const std::string& name);
  // Stops whatever Close left running, shuts the SDK down when shutdown-sdk
  // holds and releases the runtime.
  ~Engine() override;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Reads the configuration, then starts the engine; the server learns the
  // result later, from the event-processor thread (OnStart). False when
  // nothing was started.
  virtual bool Open();
  // Stops the processor (running OnShutdown on it), releases the rest and
  // acknowledges the close. Always true.
  virtual bool Close();

  // Observer of the event processor; runs on its thread.
  bool OnStart(OdaEdpf::SoftEventProcessor* processor) override;
  void OnShutdown(OdaEdpf::SoftEventProcessor* processor) override;
  // Timer handler; runs on the event-processor thread.
  void OnTimeoutElapsed(OdaEdpf::Timer* timer) override;

  // Channel bookkeeping, on the event-processor thread.
  void OnOpenChannel(Channel* channel);
  void OnCloseChannel(Channel* channel);
  // The channel is about to be deleted: unlisted (and the usage reported)
  // when its close was never acknowledged; nothing otherwise.
  void OnDestroyChannel(Channel* channel);

  // The cloud requester (QelTarnwickssEngineRequester.cpp), on the
  // event-processor thread; public so that tests can drive it.
  // Reads the credentials file and creates the cloud requester from it.
  bool CreateBrillRequester();
  void DestroyBrillRequester();
  // The whole file into `content` (of a file larger than
  // kMaxCredentialsFileBytes, a little more than that: enough for the parser
  // to refuse it); false (logged) when it cannot be opened or holds nothing.
  static bool LoadCredentialsFile(const std::string& path, std::string& content);

  // Configuration (QelTarnwickssEngineConfig.cpp), server control thread.
  // Reads `file_name` from the layout's configuration directory, applies a
  // document whose root is exactly `root_name` and validates the result.
  // Temporary memory comes from a sub-pool of `pool`, released before
  // returning. Settings applied before a failure stay applied.
  bool LoadConfig(const std::string& file_name, const std::string& root_name, const apt_dir_layout_t* layout,
                  apr_pool_t* pool);
  // Whether `path` has no root ("" counts as relative).
  static bool IsRelativePath(const std::string& path, apr_pool_t* pool);
  // Make a relative `path` absolute under `base` (an empty one becomes
  // `base`); an absolute one stays as it is. Nothing is checked on disk.
  // False, with `path` untouched, when the paths cannot be merged.
  static bool CheckDirPath(std::string& path, const std::string& base, apr_pool_t* pool);
  static bool CheckFilePath(std::string& path, const std::string& base, apr_pool_t* pool);

  void SetHostEngine(mrcp_engine_t* host_engine) { host_engine_ = host_engine; }
  mrcp_engine_t* host_engine() const { return host_engine_; }
  OdaEdpf::SoftEventProcessor* event_processor() const { return event_processor_; }
  BrillCloudRequester* requester() const { return requester_; }
  // The threads that make cloud exchanges; null when the engine thread
  // makes them itself ("cloud-workers" 0, the default).
  CloudWorkers* cloud_workers() const { return cloud_workers_.get(); }
  WaveformManager* waveform_manager() const { return waveform_manager_; }
  SdrManager* sdr_manager() const { return sdr_manager_; }
  const std::string& name() const { return name_; }
  std::size_t in_use_count() const { return open_channels_.size(); }
  bool init_sdk() const { return init_sdk_; }
  bool shutdown_sdk() const { return shutdown_sdk_; }
  const std::string& credentials_file() const { return credentials_file_; }
  const SynthSettings& synth_settings() const { return synth_settings_; }
  const WaveformManager::Settings& waveform_manager_settings() const { return waveform_manager_settings_; }
  const SdrManager::Settings& sdr_manager_settings() const { return sdr_manager_settings_; }
  const MonitoringSettings& monitoring_settings() const { return monitoring_settings_; }

 private:
  // Returns the parsed document (allocated in `pool`), or null after logging.
  apr_xml_doc* ParseFile(const std::string& path, apr_pool_t* pool);
  // False only when the root is missing or misnamed.
  bool LoadDocument(const std::string& root_name, const apr_xml_doc* document, apr_pool_t* pool);
  // False for an element nobody owns (reported, then ignored by the caller).
  bool LoadElement(const apr_xml_elem* element, apr_pool_t* pool);
  // Resolves every configured path against the server's directories and
  // locates the credentials file.
  bool ValidateConfig(const apt_dir_layout_t* layout, apr_pool_t* pool);
  // Makes the folders local files may be played from absolute, filling in
  // the default (waveform folder and data directory) when none is set.
  bool ResolveLocalFileFolders(const std::string& data_dir, apr_pool_t* pool);
  // Keeps the credentials path when it names a regular file, otherwise
  // replaces it by the newest file its pattern matches.
  bool LocateCredentialsFile(apr_pool_t* pool);

  // Takes a reference to the framework logger, registers the device that
  // forwards framework records to the server log and starts the logger.
  // Always true: the engine runs without framework output rather than not at
  // all.
  bool CreateLogger();
  // Drops the reference CreateLogger took; nothing when none is held.
  void DestroyLogger();
  bool CreateEventProcessor();
  void DestroyEventProcessor();

  bool ProcessStart();
  bool ProcessOpen();
  void ProcessShutdown();
  void Cleanup();
  // Builds the waveform manager from `settings` and the caching switch, with
  // the event processor for its timers, and loads its folder. False (the
  // manager, if built, stays for Cleanup) when one exists, or when the
  // folder cannot be created while caching or save-waveforms needs it.
  bool CreateWaveformManager(const WaveformManager::Settings& settings);
  void DestroyWaveformManager();
  // Builds the records manager with the event processor for its timers and
  // loads its folder (whose result does not stop the start).
  bool CreateSdrManager(const SdrManager::Settings& settings);
  void DestroySdrManager();
  // Starts the cloud workers the synthesis settings ask for (none for 0).
  // False when none could start.
  bool CreateCloudWorkers();
  // Cancels their exchanges and joins them.
  void DestroyCloudWorkers();

  // Usage reporting (log line, usage file, channels file), on the
  // event-processor thread.
  void OnUsageChange();
  void RunMonitoringHandler(const MonitoringHandler& handler);
  void DumpUsage(const StatusFileSettings& settings);
  void DumpChannels(const StatusFileSettings& settings);
  // Starts the periodic usage refresh when the refresh handler has an output.
  void StartUsageRefreshTimer();

  std::string name_;
  mrcp_engine_t* host_engine_ = nullptr;
  // The logger instance this engine holds a reference to (not owned), so
  // that Close and the destructor release it once between them.
  OdaEdpf::Logger* logger_ = nullptr;
  OdaEdpf::SoftEventProcessor* event_processor_ = nullptr;
  bool init_sdk_ = true;
  bool shutdown_sdk_ = true;
  BrillCloudRequester* requester_ = nullptr;
  std::unique_ptr<CloudWorkers> cloud_workers_;  // event-processor thread only
  std::string credentials_file_;                 // "subscription-key-file", absolute after validation
  WaveformManager* waveform_manager_ = nullptr;  // event-processor thread only
  SdrManager* sdr_manager_ = nullptr;            // event-processor thread only
  SynthSettings synth_settings_;
  WaveformManager::Settings waveform_manager_settings_;
  SdrManager::Settings sdr_manager_settings_;
  MonitoringSettings monitoring_settings_;
  std::list<Channel*> open_channels_;              // not owned; event-processor thread only
  std::uint64_t max_used_ = 0;                     // never lowered
  OdaEdpf::Timer* usage_refresh_timer_ = nullptr;  // owned by the processor's queue once started
};

}  // namespace TARNWICKSS

#endif  // QEL_TARNWICKSS_ENGINE_H
