// Receives the fetched body of a response-audio URL for a channel.
//
// Owned by the channel's synthesis context, beside the fetch it is given
// to; the channel outlives both. Every call comes from inside Fetch::get on
// the engine's event-processor thread and only records or converts: nothing
// here ends the segment, releases the context or starts the next segment,
// which the channel does once get has returned.
#ifndef QEL_AUDIO_FETCH_HANDLER_H
#define QEL_AUDIO_FETCH_HANDLER_H

#include "brillify/Client/HTTPHandler.h"

namespace TARNWICKSS {

class Channel;

class AudioFetchHandler : public Client::FetchHandler {
 public:
  explicit AudioFetchHandler(Channel* channel) : channel_(channel) {}

  // One piece of the body.
  void handleContent(unsigned long size, const void* data) override;
  // The whole body has arrived.
  void handleContentEnd() override;
  // 200 starts the stream; any other status fails the segment.
  void handleStatusCode(unsigned code) override;

 private:
  Channel* const channel_;
};

}  // namespace TARNWICKSS

#endif  // QEL_AUDIO_FETCH_HANDLER_H
