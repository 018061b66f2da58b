// The soak run's settings: each from the command line (--name=value), else
// from the environment (SOAK_NAME, upper case, '-' as '_'), else its default.
#ifndef TESTS_SOAK_SOAK_SETTINGS_H
#define TESTS_SOAK_SOAK_SETTINGS_H

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace soak {

struct Settings {
  std::uint64_t seed = 0;
  long seconds = 40;
  std::size_t max_channels = 32;
  double fault_share = 0.2;
  long rss_period = 60;
  double rss_limit_mb_per_hour = 8;
};

inline Settings& MutableSettings() {
  static Settings settings;
  return settings;
}
inline const Settings& CurrentSettings() { return MutableSettings(); }

namespace detail {

inline const char* Lookup(int argc, char** argv, const char* name) {
  const std::string flag = std::string("--") + name + "=";
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], flag.c_str(), flag.size()) == 0) return argv[i] + flag.size();
  std::string env = std::string("SOAK_") + name;
  for (char& c : env) c = c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return std::getenv(env.c_str());
}

}  // namespace detail

// Reads the settings (after gtest has taken its own flags). False, with a
// line on stderr, for an unknown flag or a value out of range.
inline bool ParseSettings(int argc, char** argv) {
  Settings& s = MutableSettings();
  static const char* const kNames[] = {"seed", "seconds", "channels", "fault-share", "rss-period", "rss-limit"};
  for (int i = 1; i < argc; ++i) {
    bool known = false;
    if (std::strncmp(argv[i], "--", 2) == 0)
      for (const char* name : kNames) known |= std::strncmp(argv[i] + 2, name, std::strlen(name)) == 0;
    if (!known) {
      std::fprintf(stderr, "unknown argument %s; use --seed= --seconds= --channels= --fault-share= "
                           "--rss-period= --rss-limit=\n", argv[i]);
      return false;
    }
  }
  s.seed = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) % 1000000007ULL;
  if (const char* v = detail::Lookup(argc, argv, "seed")) s.seed = std::strtoull(v, nullptr, 10);
  if (const char* v = detail::Lookup(argc, argv, "seconds")) s.seconds = std::atol(v);
  if (const char* v = detail::Lookup(argc, argv, "channels")) s.max_channels = std::strtoul(v, nullptr, 10);
  if (const char* v = detail::Lookup(argc, argv, "fault-share")) s.fault_share = std::atof(v);
  if (const char* v = detail::Lookup(argc, argv, "rss-period")) s.rss_period = std::atol(v);
  if (const char* v = detail::Lookup(argc, argv, "rss-limit")) s.rss_limit_mb_per_hour = std::atof(v);
  if (s.seconds < 1 || s.max_channels < 1 || s.max_channels > 90 || s.fault_share < 0 || s.fault_share > 1 ||
      s.rss_period < 1) {
    std::fprintf(stderr, "soak: a setting is out of range\n");
    return false;
  }
  return true;
}

}  // namespace soak

#endif  // TESTS_SOAK_SOAK_SETTINGS_H
