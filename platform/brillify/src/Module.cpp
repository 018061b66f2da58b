#include "brillify/Module.h"

#include <curl/curl.h>

#include <mutex>

namespace {
std::mutex g_mutex;
int g_init_count = 0;  // guarded by g_mutex
}  // namespace

void init_o_integer_module() {
  std::lock_guard<std::mutex> lock(g_mutex);
  // libcurl's global state is set up once for all nested inits.
  if (g_init_count++ == 0) curl_global_init(CURL_GLOBAL_DEFAULT);
}

void cleanup_o_integer_module() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_init_count == 0) return;
  if (--g_init_count == 0) curl_global_cleanup();
}

namespace Brillify {
int ModuleInitCount() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_init_count;
}
}  // namespace Brillify
