#include "platform/sim/services.h"

#include <mutex>

#include "platform/sim/internal.h"
#include "platform/sim/output.h"

namespace platform::sim {

namespace {
std::mutex g_mutex;
std::vector<ServiceRequest>& requests() {
  static std::vector<ServiceRequest> all;
  return all;
}
}  // namespace

void record_service_request(ServiceRequest request) {
  std::string line = request.service + " " + request.method + " " + request.path + " -> " +
                     std::to_string(request.status);
  {
    std::lock_guard lock(g_mutex);
    requests().push_back(std::move(request));
  }
  emit(Tag::svc, line);
}

std::vector<ServiceRequest> service_requests() {
  std::lock_guard lock(g_mutex);
  return requests();
}

namespace detail {
void reset_services() {
  std::lock_guard lock(g_mutex);
  requests().clear();
}
}  // namespace detail

}  // namespace platform::sim
