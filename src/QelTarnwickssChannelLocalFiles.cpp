// Segments played from local WAVE files: "file://" paths, and "http://"
// URIs under the waveform base URI resolved to files inside the waveform
// folder.
//
// Everything here runs on the engine's event-processor thread.
#include <string>

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

bool Channel::ProcessFile(const std::string& name) {
  details_.content.segments.pop_front();
  switch (PlayWaveFile(name)) {
    case FilePlay::kPlayed:
      FinishSegmentAudio();
      return true;
    case FilePlay::kRefused:
      // A file that is there but holds no playable audio fails like a cloud
      // answer that holds none.
      FailSegment();
      return true;
    case FilePlay::kUnreadable:
      break;
  }
  Log(APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Play File [%s]", name.c_str());
  return false;
}

}  // namespace TARNWICKSS
