// The cloud workers: threads that make text requests and fetches and post
// what they get to the engine thread. Nothing here logs or touches a channel:
// the engine thread does both when the results arrive.
#include "QelCloudWorkers.h"

#include <exception>
#include <system_error>
#include <utility>

#include "OdaEdpfAsyncEvent.h"
#include "OdaEdpfSoftEventProcessor.h"
#include "QelTarnwickssPlugin.h"
#include "brillify/BrillServerJSON.h"
#include "brillify/Client/Fetch.h"

namespace TARNWICKSS {

namespace {

// Carries one result to the engine thread; holds the exchange, so the
// receiver can tell whether it is still the one it waits for.
class CloudResultEvent : public OdaEdpf::AsyncEvent {
 public:
  CloudResultEvent(std::shared_ptr<CloudExchange> exchange, std::unique_ptr<CloudResult> result)
      : exchange_(std::move(exchange)), result_(std::move(result)) {}
  void Process() override {
    if (CloudExchangeReceiver* receiver = exchange_->receiver()) receiver->OnCloudResult(*exchange_, *result_);
  }

 private:
  std::shared_ptr<CloudExchange> exchange_;
  std::unique_ptr<CloudResult> result_;
};

void Post(OdaEdpf::SoftEventProcessor* processor, const std::shared_ptr<CloudExchange>& exchange,
          std::unique_ptr<CloudResult> result) {
  auto* event = new CloudResultEvent(exchange, std::move(result));
  if (!processor->PostEvent(event)) event->Unref();
}

// Hands a fetched body's status and pieces to the engine thread as they
// come; runs on the worker, inside Fetch::get.
class WorkerFetchHandler : public Client::FetchHandler {
 public:
  WorkerFetchHandler(OdaEdpf::SoftEventProcessor* processor, const std::shared_ptr<CloudExchange>& exchange)
      : processor_(processor), exchange_(exchange) {}

  void handleStatusCode(unsigned code) override {
    auto result = std::make_unique<CloudResult>(CloudResult::Kind::kAudioStatus);
    result->status = code;
    Post(processor_, exchange_, std::move(result));
  }
  void handleContent(unsigned long size, const void* data) override {
    // A cancelled exchange's pieces would be dropped on arrival anyway.
    if (exchange_->cancelled()) return;
    auto result = std::make_unique<CloudResult>(CloudResult::Kind::kAudio);
    result->data.assign(static_cast<const char*>(data), size);
    Post(processor_, exchange_, std::move(result));
  }

 private:
  OdaEdpf::SoftEventProcessor* const processor_;
  const std::shared_ptr<CloudExchange>& exchange_;
};

}  // namespace

CloudResult::~CloudResult() {
  if (answer) answer->release();
}

std::shared_ptr<CloudExchange> CloudExchange::TextRequest(Client::TextRequest request, CloudExchangeReceiver* receiver,
                                                          std::uint32_t speak) {
  std::shared_ptr<CloudExchange> exchange(new CloudExchange(Kind::kTextRequest, receiver, speak));
  exchange->text_ = std::move(request);
  return exchange;
}

std::shared_ptr<CloudExchange> CloudExchange::Fetch(std::string url, Brillify::Timeouts timeouts,
                                                    CloudExchangeReceiver* receiver, std::uint32_t speak) {
  std::shared_ptr<CloudExchange> exchange(new CloudExchange(Kind::kFetch, receiver, speak));
  exchange->url_ = std::move(url);
  exchange->timeouts_ = timeouts;
  return exchange;
}

void CloudExchange::Cancel() {
  // The flag first: a worker that publishes its connection after this load
  // sees the flag before it waits (both sequentially consistent).
  cancelled_.store(true);
  if (Client::Connection* connection = connection_.load()) connection->wake();
}

struct CloudWorkers::Worker {
  std::thread thread;
  std::unique_ptr<Client::Connection> connection;
  std::shared_ptr<CloudExchange> running;  // guarded by CloudWorkers::mutex_
};

CloudWorkers::CloudWorkers(OdaEdpf::SoftEventProcessor* processor) : processor_(processor) {}

std::unique_ptr<CloudWorkers> CloudWorkers::Create(int count, OdaEdpf::SoftEventProcessor* processor) {
  std::unique_ptr<CloudWorkers> workers(new CloudWorkers(processor));
  for (int i = 0; i < count; ++i) {
    auto worker = std::make_unique<Worker>();
    try {
      worker->connection = std::make_unique<Client::Connection>();
      Worker* self = worker.get();
      CloudWorkers* pool = workers.get();
      worker->thread = std::thread([pool, self] { pool->Run(*self); });
    } catch (const char* text) {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Start Cloud Worker [%s]", text);
      break;
    } catch (const std::system_error& error) {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Start Cloud Worker [%s]", error.what());
      break;
    }
    workers->workers_.push_back(std::move(worker));
  }
  if (workers->workers_.empty()) return nullptr;
  return workers;
}

CloudWorkers::~CloudWorkers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queue_.clear();
    for (const auto& worker : workers_) {
      if (worker->running) worker->running->Cancel();
    }
  }
  wake_.notify_all();
  for (const auto& worker : workers_) worker->thread.join();
}

void CloudWorkers::Submit(std::shared_ptr<CloudExchange> exchange) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(exchange));
  }
  wake_.notify_one();
}

void CloudWorkers::Run(Worker& worker) {
  for (;;) {
    std::shared_ptr<CloudExchange> exchange;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      exchange = std::move(queue_.front());
      queue_.pop_front();
      worker.running = exchange;
      running_.fetch_add(1);
    }
    Exchange(worker, *exchange, exchange);
  }
}

void CloudWorkers::Exchange(Worker& worker, CloudExchange& exchange, const std::shared_ptr<CloudExchange>& shared) {
  exchange.connection_.store(worker.connection.get());
  std::unique_ptr<CloudResult> final;
  try {
    if (exchange.kind_ == CloudExchange::Kind::kTextRequest) {
      BrillServerJSON* answer = worker.connection->textRequest(exchange.text_, &exchange.cancelled_);
      final = std::make_unique<CloudResult>(CloudResult::Kind::kAnswer);
      final->answer = answer;
    } else {
      Client::Fetch fetch(exchange.url_.c_str(), nullptr);
      WorkerFetchHandler handler(processor_, shared);
      fetch.get(&handler, Client::Fetch::GET, *worker.connection, exchange.timeouts_, &exchange.cancelled_);
      final = std::make_unique<CloudResult>(CloudResult::Kind::kAudioEnd);
    }
  } catch (const char* text) {
    final = std::make_unique<CloudResult>(CloudResult::Kind::kFailure);
    final->data = text ? text : "";
  } catch (const std::exception& error) {
    final = std::make_unique<CloudResult>(CloudResult::Kind::kFailure);
    final->data = error.what();
  }
  // Let go before the final result is posted: once the engine thread has it,
  // no worker holds anything of the exchange's channel.
  exchange.connection_.store(nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    worker.running.reset();
  }
  running_.fetch_sub(1);
  Post(processor_, shared, std::move(final));
}

}  // namespace TARNWICKSS
