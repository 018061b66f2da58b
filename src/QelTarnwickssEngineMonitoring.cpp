// Channel usage reporting: the usage log line, the usage status file and the
// channels status file, run on every usage change and on a refresh timer.
// Everything here runs on the engine's event-processor thread.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <string>

#include "QelTarnwickssChannel.h"
#include "QelTarnwickssEngine.h"
#include "QelTarnwickssPlugin.h"

namespace TARNWICKSS {

namespace {

// The file that `path` finally names, following symbolic links (a dangling
// one too: the first write creates its target), so that replacing the file
// keeps an operator's link in place. False for a chain too long or a loop.
bool FollowLinks(const std::string& path, std::string& target) {
  target = path;
  for (int depth = 0; depth < 40; ++depth) {
    char link[PATH_MAX];
    const ssize_t size = readlink(target.c_str(), link, sizeof(link));
    if (size < 0) return true;  // not a link: this is the file
    if (size == 0 || static_cast<std::size_t>(size) == sizeof(link)) return false;
    std::string next(link, static_cast<std::size_t>(size));
    // A relative link is relative to the folder holding it.
    if (next[0] != '/') next = target.substr(0, target.rfind('/') + 1) + next;
    target = next;
  }
  return false;
}

// Replaces the file at `path` with what `write` puts into a stream: the text
// goes to a temporary file beside the file (beside a link's target, so the
// link stays), which is then renamed over it, so a monitoring agent reading
// the file sees the old or the new content, never an empty or partial one.
// The new file keeps the old one's permissions. On any failure the old file
// stays.
void ReplaceStatusFile(const std::string& path, const std::function<void(std::ofstream&)>& write) {
  std::string target;
  bool ok = FollowLinks(path, target);
  if (ok) {
    const std::string temporary = target + "." + std::to_string(static_cast<long>(getpid())) + ".tmp";
    struct stat old_file {};
    const bool existed = ::stat(target.c_str(), &old_file) == 0;
    std::ofstream out(temporary, std::ios::out | std::ios::trunc);
    ok = out.is_open();
    if (ok) {
      write(out);
      out.close();
      ok = !out.fail() && (!existed || ::chmod(temporary.c_str(), old_file.st_mode & 07777) == 0) &&
           std::rename(temporary.c_str(), target.c_str()) == 0;
    }
    if (!ok) std::remove(temporary.c_str());
  }
  if (!ok) apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open Status File %s", path.c_str());
}

}  // namespace

void Engine::OnUsageChange() { RunMonitoringHandler(monitoring_settings_.usage_change_handler); }

void Engine::RunMonitoringHandler(const MonitoringHandler& handler) {
  if (handler.log_usage.enable) {
    const std::size_t total = host_engine_ && host_engine_->config ? host_engine_->config->max_channel_count : 0;
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, handler.log_usage.priority, "TARNWICKSS Usage: %d/%d/%d",
            static_cast<int>(open_channels_.size()), static_cast<int>(max_used_), static_cast<int>(total));
  }
  if (handler.update_usage.enable) DumpUsage(handler.update_usage);
  if (handler.dump_channels.enable) DumpChannels(handler.dump_channels);
}

void Engine::DumpUsage(const StatusFileSettings& settings) {
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Update usage %s", settings.status_file.c_str());
  const std::size_t total = host_engine_ && host_engine_->config ? host_engine_->config->max_channel_count : 0;
  ReplaceStatusFile(settings.status_file, [&](std::ofstream& out) {
    out << "in-use channels: " << open_channels_.size() << '\n' << std::flush;
    out << "max used channels: " << max_used_ << '\n' << std::flush;
    out << "total channels: " << total << '\n' << std::flush;
  });
}

void Engine::DumpChannels(const StatusFileSettings& settings) {
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Dump channels %s", settings.status_file.c_str());
  ReplaceStatusFile(settings.status_file, [&](std::ofstream& out) {
    for (Channel* channel : open_channels_) channel->Dump(out);
  });
}

void Engine::StartUsageRefreshTimer() {
  const MonitoringHandler& handler = monitoring_settings_.usage_refresh_handler;
  if (!handler.log_usage.enable && !handler.update_usage.enable && !handler.dump_channels.enable) return;
  // The loader refuses negative periods.
  std::int64_t period = monitoring_settings_.refresh_period;
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Set Usage Refresh Timer [%" APR_INT64_T_FMT " sec]", period);
  // A period of 0 never fires (the timer queue refuses a zero interval), so
  // no timer is made for it: a refused timer would be left to nobody.
  if (period <= 0) return;
  const std::int64_t max_period = std::numeric_limits<long>::max() / 1000;
  if (period > max_period) period = max_period;
  usage_refresh_timer_ = new OdaEdpf::Timer(this, static_cast<long>(period * 1000), OdaEdpf::Timer::Periodic,
                                            OdaEdpf::Timer::DeleteOnStop);
  if (!usage_refresh_timer_->Start(event_processor_)) {
    delete usage_refresh_timer_;
    usage_refresh_timer_ = nullptr;
  }
}

}  // namespace TARNWICKSS
