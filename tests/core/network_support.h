#pragma once
// Shared pieces of the network client and fetcher tests: a recording network
// logger, the outcome of one request, and a gate that holds a fake's answer
// until the test opens it.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/gul_network.h"
#include "platform/dispatch/queue.h"
#include "testing/fakes/fake_service.h"

namespace core_test {

struct LoggedLine {
  std::int64_t level = 0;
  std::int64_t code = 0;
  std::optional<std::string> message;
  std::vector<platform::foundation::Value> contexts;
  int form = 0;  // 0 contexts, 1 one context, 2 no context
};

// A logger delegate answering the forms it is told to; records every call.
class RecordingNetworkLogger : public core::GULNetworkLoggerDelegate {
 public:
  explicit RecordingNetworkLogger(bool all_forms = true) : all_forms_(all_forms) {}
  bool implements(core::GULNetworkLoggerSelector selector) const override {
    return all_forms_ || selector != core::GULNetworkLoggerSelector::logWithoutContext;
  }
  void GULNetwork_logWithLevel(core::GULNetworkLogLevel level, core::GULNetworkMessageCode code,
                               const std::optional<std::string>& message,
                               const std::vector<platform::foundation::Value>& contexts) override {
    add({level, code, message, contexts, 0});
  }
  void GULNetwork_logWithLevel(core::GULNetworkLogLevel level, core::GULNetworkMessageCode code,
                               const std::optional<std::string>& message,
                               const platform::foundation::Value& context) override {
    add({level, code, message, {context}, 1});
  }
  void GULNetwork_logWithLevel(core::GULNetworkLogLevel level, core::GULNetworkMessageCode code,
                               const std::optional<std::string>& message) override {
    add({level, code, message, {}, 2});
  }
  std::vector<LoggedLine> lines() const {
    std::lock_guard lk(m_);
    return lines_;
  }
  std::vector<std::int64_t> codes() const {
    std::vector<std::int64_t> out;
    for (const auto& l : lines()) out.push_back(l.code);
    return out;
  }
  bool has(std::int64_t code) const {
    for (const auto& l : lines())
      if (l.code == code) return true;
    return false;
  }

 private:
  void add(LoggedLine line) {
    std::lock_guard lk(m_);
    lines_.push_back(std::move(line));
  }
  bool all_forms_;
  mutable std::mutex m_;
  std::vector<LoggedLine> lines_;
};

// What the handlers of one request were given, and where.
struct Outcome {
  std::mutex m;
  int calls = 0;
  std::shared_ptr<const platform::net::Response> response;
  std::optional<platform::foundation::Bytes> data;
  std::optional<platform::foundation::Error> error;
  std::thread::id thread;
  std::string queue_label;

  core::GULNetworkCompletionHandler handler() {
    return [this](std::shared_ptr<const platform::net::Response> r, std::optional<platform::foundation::Bytes> d,
                  std::optional<platform::foundation::Error> e) {
      std::lock_guard lk(m);
      ++calls;
      response = std::move(r);
      data = std::move(d);
      error = std::move(e);
      thread = std::this_thread::get_id();
      queue_label = platform::dispatch::Queue::current_label();
    };
  }
  int count() {
    std::lock_guard lk(m);
    return calls;
  }
  int status() {
    std::lock_guard lk(m);
    return response ? response->status.value_or(0) : 0;
  }
};

// A fake route that answers only once the test opens the gate (or after 30 s).
// Destroying the gate opens it.
class Gate {
 public:
  testing::fakes::Handler handler(testing::fakes::Handler then = testing::fakes::FakeService::empty(200)) {
    return [state = state_, then](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) {
      {
        std::unique_lock lk(state->m);
        ++state->arrived;
        state->cv.notify_all();
        state->cv.wait_for(lk, std::chrono::seconds(30), [&] { return state->open; });
      }
      then(req, res);
    };
  }
  void open() {
    {
      std::lock_guard lk(state_->m);
      state_->open = true;
    }
    state_->cv.notify_all();
  }
  // Requests that reached the gate so far. (Wait for them by pumping the
  // main run loop: the client answers the server's trust there.)
  int arrivals() const {
    std::lock_guard lk(state_->m);
    return state_->arrived;
  }
  Gate() = default;
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;
  ~Gate() { open(); }

 private:
  struct State {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    int arrived = 0;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace core_test
