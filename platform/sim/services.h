#pragma once
// Requests the fake services received, as the driver reports them.
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

// Thread-safe. Records the request and emits a svc line
// "<service> <METHOD> <path> -> <status>".
void record_service_request(ServiceRequest request);
// Every request recorded, in order.
std::vector<ServiceRequest> service_requests();

}  // namespace platform::sim
