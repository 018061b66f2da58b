// Segments played from local WAVE files: "file://" paths, and "http://"
// URIs under the waveform base URI resolved to files inside the waveform
// folder; either only from the folders local files may come from.
//
// Everything here runs on the engine's event-processor thread.
#include <string>

#include "QelLocalFileFolders.h"
#include "QelTarnwickssChannel.h"
#include "QelTarnwickssEngine.h"

namespace TARNWICKSS {

namespace {

// Whether a name taken from a URI stays inside the folder it is merged with:
// not empty, not absolute, and no ".." component.
bool StaysInsideFolder(const std::string& name) {
  if (name.empty() || name[0] == '/') return false;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = name.find('/', begin);
    if (name.compare(begin, end == std::string::npos ? std::string::npos : end - begin, "..") == 0) return false;
    if (end == std::string::npos) return true;
    begin = end + 1;
  }
}

}  // namespace

bool Channel::ResolveLocalUri(const std::string& uri, std::string& name) const {
  const WaveformManager* waveforms = engine_->waveform_manager();
  if (!waveforms) return false;
  const std::string& base = waveforms->waveform_base_uri();
  if (base.empty() || uri.size() <= base.size() || uri.compare(0, base.size(), base) != 0) return false;
  // Under the base means behind a "/" that follows it (or ends it).
  std::size_t start = base.size();
  if (base.back() != '/') {
    if (uri[start] != '/') return false;
    ++start;
  }
  name = uri.substr(start);
  return StaysInsideFolder(name);
}

bool Channel::PlayLocalFile(const std::string& name) {
  const WaveformManager* waveforms = engine_->waveform_manager();
  std::string path, resolved;
  if (!waveforms || !waveforms->ComposePath(path, name, scratch_pool_)) {
    Log(APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Play File [%s]", name.c_str());
    return false;
  }
  switch (CheckLocalFile(path, engine_->synth_settings().local_file_folders, resolved)) {
    case LocalFileAccess::kAllowed:
      // Opened by the path that was checked, not through the links again.
      return ProcessFile(resolved);
    case LocalFileAccess::kMissing:
      Log(APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Play File [%s]", name.c_str());
      return false;
    case LocalFileAccess::kRefused:
      break;
  }
  Log(APT_LOG_MARK, APT_PRIO_WARNING, "Local File Not Allowed [%s]", path.c_str());
  start_failure_status_ = MRCP_STATUS_CODE_METHOD_FAILED;
  return false;
}

bool Channel::ProcessFile(const std::string& name) {
  details_.content.segments.pop_front();
  switch (PlayWaveFile(name)) {
    case FilePlay::kPlayed:
      FinishSegmentAudio();
      return true;
    case FilePlay::kRefused:
      // A file that is there but holds no playable audio fails like a cloud
      // answer that holds none.
      start_failure_status_ = MRCP_STATUS_CODE_METHOD_FAILED;
      return false;
    case FilePlay::kUnreadable:
      break;
  }
  Log(APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Play File [%s]", name.c_str());
  return false;
}

}  // namespace TARNWICKSS
