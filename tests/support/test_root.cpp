#include "test_root.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

std::string MakeTestRoot(const std::string& tag) {
  std::string pattern = (std::filesystem::temp_directory_path() / ("tarnwickss-" + tag + "-XXXXXX")).string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  return std::string(buffer.data());
}

void InstallSampleConfig(const std::string& root) {
  namespace fs = std::filesystem;
  const fs::path source(TARNWICKSS_CONF_DIR);
  fs::create_directories(fs::path(root) / "conf");
  fs::create_directories(fs::path(root) / "data");
  fs::copy_file(source / "tarnwickss.xml", fs::path(root) / "conf" / "tarnwickss.xml",
                fs::copy_options::overwrite_existing);
  fs::copy_file(source / "credentials.json", fs::path(root) / "data" / "credentials.json",
                fs::copy_options::overwrite_existing);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

bool ReplaceInFile(const std::string& path, const std::string& from, const std::string& to) {
  std::string text = ReadFile(path);
  const auto at = text.find(from);
  if (at == std::string::npos) return false;
  text.replace(at, from.size(), to);
  WriteFile(path, text);
  return true;
}

int ClosedLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name), had_(getenv(name) != nullptr) {
  if (had_) old_ = getenv(name);
  value ? setenv(name, value, 1) : unsetenv(name);
}

ScopedEnv::~ScopedEnv() { had_ ? setenv(name_, old_.c_str(), 1) : unsetenv(name_); }
