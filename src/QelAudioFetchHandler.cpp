#include "QelAudioFetchHandler.h"

#include "QelTarnwickssChannel.h"

namespace TARNWICKSS {

void AudioFetchHandler::handleContent(unsigned long size, const void* data) {
  channel_->ProcessSynthDataEvent(size, data);
}

void AudioFetchHandler::handleContentEnd() { channel_->ProcessSynthCompleteEvent(); }

void AudioFetchHandler::handleStatusCode(unsigned code) {
  if (code == 200) {
    channel_->ProcessSynthStartEvent();
  } else {
    channel_->ProcessSynthFailureEvent(code);
  }
}

}  // namespace TARNWICKSS
