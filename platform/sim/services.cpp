#include "platform/sim/services.h"

#include <mutex>

#include "platform/sim/internal.h"
#include "platform/sim/output.h"

namespace platform::sim {

namespace {
std::mutex g_services_mutex;
bool g_show_headers = false;
ServiceControl g_control;
std::vector<ServiceRequest>& requests() {
  static std::vector<ServiceRequest> all;
  return all;
}
}  // namespace

void record_service_request(ServiceRequest request) {
  std::string line = request.service + " " + request.method + " " + request.path + " -> " +
                     (request.status == 0 ? std::string("no answer") : std::to_string(request.status));
  {
    std::lock_guard lock(g_services_mutex);
    if (g_show_headers)
      for (const auto& [name, value] : request.headers) line += "\n  " + name + ": " + value;
  }
  {
    std::lock_guard lock(g_services_mutex);
    requests().push_back(std::move(request));
  }
  emit(Tag::svc, line);
}

std::vector<ServiceRequest> service_requests() {
  std::lock_guard lock(g_services_mutex);
  return requests();
}

void set_show_request_headers(bool show) {
  std::lock_guard lock(g_services_mutex);
  g_show_headers = show;
}

void set_service_control(ServiceControl control) {
  std::lock_guard lock(g_services_mutex);
  g_control = std::move(control);
}

std::string set_service_answer(const ServiceAnswer& answer) {
  std::function<std::string(const ServiceAnswer&)> set;
  {
    std::lock_guard lock(g_services_mutex);
    set = g_control.set_answer;
  }
  return set ? set(answer) : "no services to answer for " + answer.service;
}

void reset_service_answers() {
  std::function<void()> reset;
  {
    std::lock_guard lock(g_services_mutex);
    reset = g_control.reset_answers;
  }
  if (reset) reset();
}

namespace detail {
void reset_services() {
  std::lock_guard lock(g_services_mutex);
  requests().clear();
  g_show_headers = false;
  g_control = {};
}
}  // namespace detail

}  // namespace platform::sim
