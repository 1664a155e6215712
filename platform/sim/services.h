#pragma once
// Requests the fake services received, as the driver reports them, and the
// scripted answers a scenario sets on them through the driver's control.
// Thread-safe.
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace platform::sim {

struct ServiceRequest {
  std::string service, method, path;
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers{};  // as received, in order
  std::string body{};                                           // decoded when it came gzipped
};

// Records the request and emits a svc line "<service> <METHOD> <path> -> <status>"
// ("no answer" for status 0: a dropped or refused connection),
// followed by one "  <Name>: <value>" line per request header when headers are shown.
void record_service_request(ServiceRequest request);
// Every request recorded, in order.
std::vector<ServiceRequest> service_requests();
// Whether svc lines list the request headers (off by default).
void set_show_request_headers(bool show);

// A scripted answer for `method` requests to `path` ("*" matches any text)
// of one service.
struct ServiceAnswer {
  enum class Action { answer, drop, refuse };
  std::string service, method, path;
  Action action = Action::answer;
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers{};  // in order; names may repeat
  std::string body{};
  double delay_s = 0;
};

// What the driver running the services offers scenarios. set_answer gives ""
// when the answer is in place, else why not (an unknown service ...);
// reset_answers removes every scripted answer of every service.
struct ServiceControl {
  std::function<std::string(const ServiceAnswer&)> set_answer;
  std::function<void()> reset_answers;
};
// Replaces the control (an empty one: no services to script).
void set_service_control(ServiceControl control);
// Through the installed control; without one, a failure message.
std::string set_service_answer(const ServiceAnswer& answer);
void reset_service_answers();

}  // namespace platform::sim
