// The engine's configuration: reading "tarnwickss.xml", handing its elements
// to the settings records that own them, and resolving the paths it names
// against the server's directory layout.
#include <apr_file_info.h>
#include <apr_file_io.h>

#include <string>
#include <vector>

#include "OdaEdpfFileUtils.h"
#include "QelTarnwickssEngine.h"
#include "QelTarnwickssPlugin.h"

namespace TARNWICKSS {

namespace {

// Read size handed to the XML parser.
constexpr apr_size_t kParseBufferLength = 2000;

// Directory-layout entries.
constexpr apr_size_t kLayoutDataDir = 3;
constexpr apr_size_t kLayoutVarDir = 4;

// A sub-pool for one configuration load. The parsed document and every
// temporary path die with it, so a reload or an oversized document does not
// grow the server's engine pool.
class ScratchPool {
 public:
  explicit ScratchPool(apr_pool_t* parent) {
    if (apr_pool_create(&pool_, parent) != APR_SUCCESS) pool_ = nullptr;
  }
  ~ScratchPool() {
    if (pool_) apr_pool_destroy(pool_);
  }
  ScratchPool(const ScratchPool&) = delete;
  ScratchPool& operator=(const ScratchPool&) = delete;

  apr_pool_t* get() const { return pool_; }

 private:
  apr_pool_t* pool_ = nullptr;
};

}  // namespace

bool Engine::LoadConfig(const std::string& file_name, const std::string& root_name, const apt_dir_layout_t* layout,
                        apr_pool_t* pool) {
  ScratchPool scratch(pool);
  if (!scratch.get()) return false;

  const char* path = apt_confdir_filepath_get(layout, file_name.c_str(), scratch.get());
  if (!path) return false;

  apr_xml_doc* document = ParseFile(path, scratch.get());
  if (!document) return false;
  if (!LoadDocument(root_name, document, scratch.get())) return false;
  return ValidateConfig(layout, scratch.get());
}

apr_xml_doc* Engine::ParseFile(const std::string& path, apr_pool_t* pool) {
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Open Config File [%s]", path.c_str());

  apr_file_t* file = nullptr;
  if (apr_file_open(&file, path.c_str(), APR_FOPEN_READ, APR_FPROT_OS_DEFAULT, pool) != APR_SUCCESS) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open Config File [%s]", path.c_str());
    return nullptr;
  }

  apr_xml_parser* parser = nullptr;
  apr_xml_doc* document = nullptr;
  apr_status_t status = apr_xml_parse_file(pool, &parser, &document, file, kParseBufferLength);
  apr_file_close(file);
  if (status != APR_SUCCESS) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Parse Config File [%s]", path.c_str());
    return nullptr;
  }
  return document;
}

bool Engine::LoadDocument(const std::string& root_name, const apr_xml_doc* document, apr_pool_t* pool) {
  const apr_xml_elem* root = document ? document->root : nullptr;
  // The root's name is matched exactly, unlike every other name.
  if (!root || !root->name || root_name != root->name) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Document");
    return false;
  }

  static const AttributeRule<Engine> kRules[] = {
      {"subscription-key-file", TextRule<Engine, &Engine::credentials_file_>},
      {"init-sdk", BooleanRule<Engine, &Engine::init_sdk_>},
      {"shutdown-sdk", BooleanRule<Engine, &Engine::shutdown_sdk_>},
  };
  ApplyAttributes(root, "Document", kRules, *this);

  // Elements apply in document order; a repeated element loads over what the
  // previous one left.
  for (const apr_xml_elem* child = root->first_child; child; child = child->next) {
    LoadElement(child, pool);
  }
  return true;
}

bool Engine::LoadElement(const apr_xml_elem* element, apr_pool_t* /*pool*/) {
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Loading Element %s", element->name);
  if (NameIs(element->name, "synth-settings")) return synth_settings_.Load(element);
  if (NameIs(element->name, "waveform-manager")) return waveform_manager_settings_.Load(element);
  if (NameIs(element->name, "sdr-manager")) return sdr_manager_settings_.Load(element);
  if (NameIs(element->name, "monitoring-agent")) return monitoring_settings_.Load(element);
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Element <%s>", element->name);
  return false;
}

bool Engine::ValidateConfig(const apt_dir_layout_t* layout, apr_pool_t* pool) {
  const char* var_dir = apt_dir_layout_path_get(layout, kLayoutVarDir);
  const char* status_dir = apt_vardir_filepath_get(layout, "status", pool);
  const char* data_dir = apt_dir_layout_path_get(layout, kLayoutDataDir);
  if (!var_dir || !status_dir || !data_dir) return false;

  if (!CheckDirPath(waveform_manager_settings_.waveform_folder, var_dir, pool)) return false;
  if (!CheckDirPath(sdr_manager_settings_.record_folder, var_dir, pool)) return false;
  if (!ResolveLocalFileFolders(data_dir, pool)) return false;
  if (!CheckFilePath(credentials_file_, data_dir, pool)) return false;
  if (!LocateCredentialsFile(pool)) return false;

  // Files of disabled outputs stay as written: nothing will open them.
  StatusFileSettings* status_files[] = {
      &monitoring_settings_.usage_change_handler.update_usage,
      &monitoring_settings_.usage_change_handler.dump_channels,
      &monitoring_settings_.usage_refresh_handler.update_usage,
      &monitoring_settings_.usage_refresh_handler.dump_channels,
  };
  for (StatusFileSettings* settings : status_files) {
    if (settings->enable && !CheckFilePath(settings->status_file, status_dir, pool)) return false;
  }
  return true;
}

bool Engine::ResolveLocalFileFolders(const std::string& data_dir, apr_pool_t* pool) {
  std::vector<std::string>& folders = synth_settings_.local_file_folders;
  // By default a URI list may play what the plugin keeps itself (its
  // waveforms) and what the operator keeps beside the credentials.
  if (!synth_settings_.local_file_folders_set) folders = {waveform_manager_settings_.waveform_folder, data_dir};
  for (std::string& folder : folders) {
    if (!CheckDirPath(folder, data_dir, pool)) return false;
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Allow Local Files in [%s]", folder.c_str());
  }
  if (folders.empty()) apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Local File Segments Disabled");
  return true;
}

bool Engine::LocateCredentialsFile(apr_pool_t* pool) {
  apr_finfo_t info;
  apr_status_t status = apr_stat(&info, credentials_file_.c_str(), APR_FINFO_TYPE, pool);
  if ((status == APR_SUCCESS || APR_STATUS_IS_INCOMPLETE(status)) && (info.valid & APR_FINFO_TYPE) &&
      info.filetype == APR_REG) {
    return true;
  }

  // Not a file: read the path as a folder plus a name pattern, so that
  // deploying a new key file next to the old one needs no configuration edit.
  std::string found;
  if (!OdaEdpf::SearchFile(credentials_file_, found)) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Find Subscription Key File %s",
            credentials_file_.c_str());
    return false;
  }
  credentials_file_ = found;
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Determined Subscription Key File %s",
          credentials_file_.c_str());
  return true;
}

bool Engine::IsRelativePath(const std::string& path, apr_pool_t* pool) {
  const char* root = nullptr;
  const char* rest = path.c_str();
  return APR_STATUS_IS_ERELATIVE(apr_filepath_root(&root, &rest, 0, pool));
}

bool Engine::CheckDirPath(std::string& path, const std::string& base, apr_pool_t* pool) {
  if (!IsRelativePath(path, pool)) return true;
  char* merged = nullptr;
  if (apr_filepath_merge(&merged, base.c_str(), path.c_str(), APR_FILEPATH_NATIVE, pool) != APR_SUCCESS) {
    return false;
  }
  path = merged;
  return true;
}

// Files and folders resolve alike; the two names say what the caller holds.
bool Engine::CheckFilePath(std::string& path, const std::string& base, apr_pool_t* pool) {
  return CheckDirPath(path, base, pool);
}

}  // namespace TARNWICKSS
