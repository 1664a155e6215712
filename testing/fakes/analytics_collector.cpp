// The analytics collector fake's upload and configuration routes.
#include "testing/fakes/analytics_collector.h"

#include <utility>

namespace testing::fakes {

AnalyticsCollector::AnalyticsCollector(ServiceOptions options) : FakeService("analytics", {kHost}, options) {
  route("GET", "/config/app/[^/]+", [this](const HttpRequest& req, HttpResponse& res) {
    std::optional<Served> served;
    {
      std::lock_guard lock(config_mutex_);
      served = config_;
    }
    if (!served) {
      not_found_json()(req, res);
      return;
    }
    if (!served->last_modified.empty() && req.has_header("If-Modified-Since") &&
        req.get_header_value("If-Modified-Since") == served->last_modified) {
      res.status = 304;
      res.set_header("Last-Modified", served->last_modified);
      return;
    }
    res.status = 200;
    if (!served->last_modified.empty()) res.set_header("Last-Modified", served->last_modified);
    res.set_content(served->bytes, "application/x-protobuf");
  });
  route("POST", kUploadPath, empty(204));
}

void AnalyticsCollector::set_config(std::string bytes, std::string last_modified) {
  std::lock_guard lock(config_mutex_);
  config_ = Served{std::move(bytes), std::move(last_modified)};
}

void AnalyticsCollector::clear_config() {
  std::lock_guard lock(config_mutex_);
  config_.reset();
}

std::vector<RecordedRequest> AnalyticsCollector::config_fetches() const {
  std::vector<RecordedRequest> fetches;
  for (auto& request : requests())
    if (request.method == "GET" && request.path.rfind(kConfigPrefix, 0) == 0) fetches.push_back(std::move(request));
  return fetches;
}

}  // namespace testing::fakes
