#include "OdaEdpfGlobal.h"

#include <apr_general.h>

namespace OdaEdpf {

bool GlobalInit() {
  if (apr_initialize() != APR_SUCCESS) {
    apr_terminate();
    return false;
  }
  return true;
}

void GlobalDeinit() { apr_terminate(); }

}  // namespace OdaEdpf
