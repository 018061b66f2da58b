// libFuzzer target for the configuration document: every input becomes
// tarnwickss.xml in a scratch server layout (conf, data, var) and goes through
// Engine::LoadConfig, which parses it, applies it and resolves its paths.
// The data folder holds a credentials file and a keys/ folder so that
// documents naming them get past validation.
#include <apr_general.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "QelTarnwickssEngine.h"
#include "corvex/apt.h"
#include "corvex/apt_log.h"

namespace {

struct Scratch {
  std::string root;
  apr_pool_t* pool = nullptr;
  apt_dir_layout_t* layout = nullptr;
};

Scratch* g_scratch = nullptr;

void WriteFile(const std::string& path, const void* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void RemoveScratch() {
  if (!g_scratch) return;
  std::error_code ignored;
  std::filesystem::remove_all(g_scratch->root, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  apr_initialize();
  // A logger that writes nowhere still formats every message, so the
  // arbitrary names and values reach the printf paths.
  apt_log_instance_create(fopen("/dev/null", "w"), APT_PRIO_DEBUG);

  g_scratch = new Scratch;
  char root[] = "/tmp/tarnwickss-config-fuzz-XXXXXX";
  if (!mkdtemp(root)) abort();
  g_scratch->root = root;
  for (const char* dir : {"/conf", "/data", "/data/keys", "/var", "/var/status"}) {
    mkdir((g_scratch->root + dir).c_str(), 0755);
  }
  static const char kCredentials[] = "{\"client-id\": \"id\", \"client-key\": \"key\"}";
  WriteFile(g_scratch->root + "/data/credentials.json", kCredentials, sizeof(kCredentials) - 1);
  WriteFile(g_scratch->root + "/data/keys/a.json", kCredentials, sizeof(kCredentials) - 1);
  WriteFile(g_scratch->root + "/data/keys/b.json", kCredentials, sizeof(kCredentials) - 1);
  atexit(RemoveScratch);

  apr_pool_create(&g_scratch->pool, nullptr);
  g_scratch->layout = apt_default_dir_layout_create(g_scratch->root.c_str(), g_scratch->pool);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  WriteFile(g_scratch->root + "/conf/tarnwickss.xml", data, size);

  // A fresh engine and pool per input: nothing carries over between inputs,
  // and a pool that kept growing would show up as a leak.
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, g_scratch->pool);
  {
    TARNWICKSS::Engine engine("TARNWICKSS");
    engine.LoadConfig("tarnwickss.xml", "tarnwickss", g_scratch->layout, pool);
  }
  apr_pool_destroy(pool);
  return 0;
}
