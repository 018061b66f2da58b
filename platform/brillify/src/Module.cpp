#include "brillify/Module.h"

#include <atomic>

namespace {
std::atomic<int> g_init_count{0};
}  // namespace

void init_o_integer_module() { g_init_count.fetch_add(1); }

void cleanup_o_integer_module() {
  int count = g_init_count.load();
  while (count > 0 && !g_init_count.compare_exchange_weak(count, count - 1)) {
  }
}

namespace Brillify {
int ModuleInitCount() { return g_init_count.load(); }
}  // namespace Brillify
