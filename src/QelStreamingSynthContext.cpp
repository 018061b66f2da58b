#include "QelStreamingSynthContext.h"

#include "QelAudioFetchHandler.h"
#include "QelCacheEntry.h"
#include "brillify/BrillServerJSON.h"
#include "brillify/Client/Fetch.h"
#include "brillify/RequestInfoJSON.h"

namespace TARNWICKSS {

StreamingSynthContext::StreamingSynthContext() = default;

StreamingSynthContext::~StreamingSynthContext() {
  if (request_info) request_info->release();
  if (sdk_state) sdk_state->release();
  if (result && result_owned) result->release();
}

}  // namespace TARNWICKSS
