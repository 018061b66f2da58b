// One MRCP synthesizer channel.
//
// Ownership: created by the engine's create_channel, destroyed by the server
// through the channel table's destroy; the engine only lists it while open.
//
// Threads: the server's control thread constructs and destroys the channel
// and calls SignalEvent, which only posts a task to the engine's event
// processor. Every task (open, close, requests) runs on the event-processor
// thread. The server's media thread calls only Read.
#ifndef QEL_TARNWICKSS_CHANNEL_H
#define QEL_TARNWICKSS_CHANNEL_H

#include "OdaEdpfAsyncEvent.h"
#include "corvex/mrcp_engine.h"

namespace TARNWICKSS {

class Engine;
class Channel;

enum TaskMsgType { TaskMsgOpen = 0, TaskMsgClose = 1, TaskMsgRequest = 2 };

// A task for a channel, posted by the control thread and run on the engine's
// event-processor thread.
class ChannelEvent : public OdaEdpf::AsyncEvent {
 public:
  ChannelEvent(TaskMsgType type, Channel* channel, mrcp_message_t* request)
      : type_(type), channel_(channel), request_(request) {}
  void Process() override;

  TaskMsgType type() const { return type_; }
  mrcp_message_t* request() const { return request_; }

 private:
  TaskMsgType type_;
  Channel* channel_;
  mrcp_message_t* request_;
};

class Channel {
 public:
  explicit Channel(Engine* engine);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Control thread: set once by channel creation.
  void SetHostChannel(mrcp_engine_channel_t* host_channel) { host_channel_ = host_channel; }
  mrcp_engine_channel_t* host_channel() const { return host_channel_; }
  const char* id() const;

  // Control thread: posts a task for this channel to the engine's processor.
  bool SignalEvent(TaskMsgType type, mrcp_message_t* request);

  // Media thread: fills one frame. Always true.
  bool Read(mpf_frame_t* frame);

  // Event-processor thread.
  bool ProcessEvent(ChannelEvent* event);
  bool Open();
  bool Close();
  bool ProcessRequest(mrcp_message_t* request);

 private:
  Engine* engine_;
  mrcp_engine_channel_t* host_channel_ = nullptr;
};

}  // namespace TARNWICKSS

#endif  // QEL_TARNWICKSS_CHANNEL_H
