#include "test_root.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <vector>

std::string MakeTestRoot(const std::string& tag) {
  std::string pattern = (std::filesystem::temp_directory_path() / ("tarnwickss-" + tag + "-XXXXXX")).string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  return std::string(buffer.data());
}
