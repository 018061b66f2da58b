#include "QelTarnwickssChannel.h"

#include "QelTarnwickssEngine.h"
#include "QelTarnwickssPlugin.h"

namespace TARNWICKSS {

namespace {
constexpr const char* kChannelTag = "tarnwickss";
}  // namespace

void ChannelEvent::Process() { channel_->ProcessEvent(this); }

Channel::Channel(Engine* engine) : engine_(engine) {}

Channel::~Channel() = default;

const char* Channel::id() const { return host_channel_ && host_channel_->id ? host_channel_->id : ""; }

bool Channel::SignalEvent(TaskMsgType type, mrcp_message_t* request) {
  OdaEdpf::SoftEventProcessor* processor = engine_->event_processor();
  if (!processor) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "No Event Processor <%s@%s>", id(),
            kChannelTag);
    return false;
  }
  return processor->PostEvent(new ChannelEvent(type, this, request));
}

bool Channel::Read(mpf_frame_t* /*frame*/) { return true; }

bool Channel::ProcessEvent(ChannelEvent* event) {
  switch (event->type()) {
    case TaskMsgOpen:
      return Open();
    case TaskMsgClose:
      return Close();
    case TaskMsgRequest:
      return ProcessRequest(event->request());
  }
  return false;
}

bool Channel::Open() {
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Open <%s@%s>", id(), kChannelTag);
  engine_->OnOpenChannel(this);
  mrcp_engine_channel_open_respond(host_channel_, TRUE);
  return true;
}

bool Channel::Close() {
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Close <%s@%s>", id(), kChannelTag);
  engine_->OnCloseChannel(this);
  return mrcp_engine_channel_close_respond(host_channel_) == TRUE;
}

bool Channel::ProcessRequest(mrcp_message_t* request) {
  mrcp_message_t* response = request ? mrcp_response_create(request, request->pool) : nullptr;
  if (!response) return true;
  if (request->start_line.method_id == SYNTHESIZER_SPEAK) {
    // Synthesis is not wired into the channel yet: refuse rather than leave
    // the SPEAK without an answer.
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Speak Not Available <%s@%s>", id(),
            kChannelTag);
    response->start_line.status_code = MRCP_STATUS_CODE_METHOD_FAILED;
    mrcp_synth_header_t* header = mrcp_resource_header_prepare(response);
    if (header) {
      header->completion_cause = SYNTHESIZER_COMPLETION_CAUSE_ERROR;
      mrcp_resource_header_property_add(response, SYNTHESIZER_HEADER_COMPLETION_CAUSE);
    }
  }
  mrcp_engine_channel_message_send(host_channel_, response);
  return true;
}

}  // namespace TARNWICKSS
