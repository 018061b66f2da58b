// A plugin whose creator gives no engine.
#include "plugin_support.h"

TEST_PLUGIN_LOG_EXPORTS("NULL-ENGINE-PLUGIN")

extern "C" {
mrcp_plugin_version_t mrcp_plugin_version = {PLUGIN_MAJOR_VERSION, PLUGIN_MINOR_VERSION, 0, 0};
}

extern "C" mrcp_engine_t* mrcp_plugin_create(apr_pool_t*) {
  apt_log(PLUGIN_LOG, APT_LOG_MARK, APT_PRIO_NOTICE, "null engine plugin: no engine today");
  return nullptr;
}
