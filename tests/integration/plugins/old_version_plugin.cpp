// Built for interface 1.6: the host must refuse it before creating anything.
#include "plugin_support.h"

TEST_PLUGIN_LOG_EXPORTS("OLD-VERSION-PLUGIN")

extern "C" {
mrcp_plugin_version_t mrcp_plugin_version = {1, 6, 0, 0};
}

extern "C" mrcp_engine_t* mrcp_plugin_create(apr_pool_t*) {
  apt_log(PLUGIN_LOG, APT_LOG_MARK, APT_PRIO_WARNING, "old version plugin: create called");
  return nullptr;
}
