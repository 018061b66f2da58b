// Cloud exchanges made off the engine thread, when the engine runs cloud
// workers ("cloud-workers" above 0).
//
// A CloudExchange is one text request or one audio fetch of one channel's
// SPEAK, described whole before a worker sees it: the request as it goes on
// the wire (URL, header fields, body, time-outs), or the URL to fetch and its
// time-outs. CloudWorkers is a fixed set of threads and the queue they take
// exchanges from, first come, first served. A worker hands everything back as
// events posted to the engine's event processor: the answer, the status and
// each piece of a fetched body as it arrives, and exactly one final result
// per exchange it took (the answer, the end of the body, or a failure). The
// receiver named in the exchange (the channel) gets them on the engine
// thread, which alone touches channels, segments, records, the waveform
// cache, files and the media buffers.
//
// Ownership: exchanges are shared (std::shared_ptr) between the engine
// thread, the queue, the worker running one and its events in flight. The
// engine thread creates CloudWorkers at start-up and destroys it at
// shutdown; destruction cancels what is queued and running and joins the
// threads.
//
// Threads and fields of an exchange:
//  - the request fields are written before Submit and only read afterwards;
//  - receiver_ is the engine thread's alone (Detach clears it);
//  - cancelled_ is written by the engine thread (Cancel), read by the worker;
//  - connection_ is written by the worker running the exchange, read by the
//    engine thread to wake that worker on Cancel. A worker's connection lives
//    as long as CloudWorkers, which only the engine thread destroys.
// The queue and the list of running exchanges are guarded by mutex_; the
// engine thread takes it only to submit and to shut down (like posting an
// event), never while a worker holds it for long.
#ifndef QEL_CLOUD_WORKERS_H
#define QEL_CLOUD_WORKERS_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "brillify/Client/Connection.h"

class BrillServerJSON;

namespace OdaEdpf {
class SoftEventProcessor;
}  // namespace OdaEdpf

namespace TARNWICKSS {

class CloudExchange;

// One result of an exchange, as the engine thread receives it.
struct CloudResult {
  enum class Kind {
    kAnswer,       // final: the text request's answer
    kAudioStatus,  // a fetch's HTTP status
    kAudio,        // a piece of a fetched body
    kAudioEnd,     // final: the whole body has arrived
    kFailure,      // final: the SDK's text (a time-out, a transport error, a cancel)
  };
  explicit CloudResult(Kind k) : kind(k) {}
  ~CloudResult();
  CloudResult(const CloudResult&) = delete;
  CloudResult& operator=(const CloudResult&) = delete;
  bool final() const { return kind == Kind::kAnswer || kind == Kind::kAudioEnd || kind == Kind::kFailure; }

  Kind kind;
  BrillServerJSON* answer = nullptr;  // kAnswer: one reference; a receiver that keeps it clears this
  unsigned status = 0;                // kAudioStatus
  std::string data;                   // kAudio: the bytes; kFailure: the text
};

// Gets an exchange's results on the engine thread.
class CloudExchangeReceiver {
 public:
  virtual void OnCloudResult(CloudExchange& exchange, CloudResult& result) = 0;

 protected:
  ~CloudExchangeReceiver() = default;
};

class CloudExchange {
 public:
  // Engine thread: a text request, or a fetch of `url`, for `receiver`'s
  // SPEAK `speak`.
  static std::shared_ptr<CloudExchange> TextRequest(Client::TextRequest request, CloudExchangeReceiver* receiver,
                                                    std::uint32_t speak);
  static std::shared_ptr<CloudExchange> Fetch(std::string url, Brillify::Timeouts timeouts,
                                              CloudExchangeReceiver* receiver, std::uint32_t speak);

  // Engine thread: whom the results go to (null once detached) and the
  // SPEAK they belong to.
  CloudExchangeReceiver* receiver() const { return receiver_; }
  std::uint32_t speak() const { return speak_; }
  // Engine thread: no result reaches the receiver any more (it is going).
  void Detach() { receiver_ = nullptr; }
  // Engine thread: the worker abandons the transfer at once; its final
  // result still comes (a failure, or what had arrived just before).
  void Cancel();
  bool cancelled() const { return cancelled_.load(); }

 private:
  friend class CloudWorkers;
  enum class Kind { kTextRequest, kFetch };
  CloudExchange(Kind kind, CloudExchangeReceiver* receiver, std::uint32_t speak)
      : kind_(kind), receiver_(receiver), speak_(speak) {}

  const Kind kind_;
  Client::TextRequest text_;  // kTextRequest
  std::string url_;           // kFetch
  Brillify::Timeouts timeouts_{};
  CloudExchangeReceiver* receiver_;
  const std::uint32_t speak_;
  std::atomic<bool> cancelled_{false};
  std::atomic<Client::Connection*> connection_{nullptr};
};

class CloudWorkers {
 public:
  // Engine thread: starts `count` workers that post their results to
  // `processor`, which must outlive this object. Null (logged) when not one
  // worker could start.
  static std::unique_ptr<CloudWorkers> Create(int count, OdaEdpf::SoftEventProcessor* processor);
  // Engine thread: cancels every queued and running exchange and joins the
  // workers. Queued exchanges get no result; running ones post their final
  // result, which the processor releases unprocessed when it is going too.
  ~CloudWorkers();
  CloudWorkers(const CloudWorkers&) = delete;
  CloudWorkers& operator=(const CloudWorkers&) = delete;

  // Engine thread: queues the exchange behind those already waiting.
  void Submit(std::shared_ptr<CloudExchange> exchange);

  std::size_t size() const { return workers_.size(); }
  // Any thread: exchanges a worker holds now (taken and not yet let go).
  int running() const { return running_.load(); }

 private:
  struct Worker;
  explicit CloudWorkers(OdaEdpf::SoftEventProcessor* processor);
  void Run(Worker& worker);
  // Makes the exchange on the worker's connection and posts its results.
  void Exchange(Worker& worker, CloudExchange& exchange, const std::shared_ptr<CloudExchange>& shared);

  OdaEdpf::SoftEventProcessor* const processor_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::atomic<int> running_{0};
  std::mutex mutex_;
  std::condition_variable wake_;                      // guarded by mutex_
  std::deque<std::shared_ptr<CloudExchange>> queue_;  // guarded by mutex_
  bool stopping_ = false;                             // guarded by mutex_
};

}  // namespace TARNWICKSS

#endif  // QEL_CLOUD_WORKERS_H
