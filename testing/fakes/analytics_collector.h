#pragma once
// The analytics collection host "analytics.example.net".
//
// Default routes:
//   GET  /config/app/<appID>  the configuration a test set with set_config()
//                             (the bytes as given, any query), with its
//                             "Last-Modified" when one was given; 304 when the
//                             request's "If-Modified-Since" equals that mark;
//                             404 while nothing is set.
//   POST /a                   an empty 204; the record keeps the gunzipped
//                             batch (RecordedRequest::body).
// Every other request gets 404. Scripted upload answers go through
// set_status_sequence(kUploadPath, ...), on(..., drop_connection()) and held().
// Decoding the bodies is the tests' business (the fakes link no wire layer).
//
// Threads: any; the routes run on the server's threads.
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "testing/fakes/fake_service.h"

namespace testing::fakes {

class AnalyticsCollector : public FakeService {
 public:
  static constexpr const char* kHost = "analytics.example.net";
  static constexpr const char* kUploadPath = "/a";
  static constexpr const char* kConfigPrefix = "/config/app/";

  explicit AnalyticsCollector(ServiceOptions options = {});
  ~AnalyticsCollector() override { stop(); }

  // What GET /config/app/<any appID> serves from now on; an empty
  // `last_modified` sends no "Last-Modified".
  void set_config(std::string bytes, std::string last_modified = {});
  void clear_config();

  // The recorded uploads (POST /a) and configuration fetches, in arrival order.
  std::vector<RecordedRequest> uploads() const { return requests("POST", kUploadPath); }
  std::vector<RecordedRequest> config_fetches() const;
  std::size_t upload_count() const { return count("POST", kUploadPath); }
  std::size_t config_fetch_count() const { return config_fetches().size(); }

 private:
  struct Served {
    std::string bytes;
    std::string last_modified;
  };
  mutable std::mutex config_mutex_;
  std::optional<Served> config_;
};

}  // namespace testing::fakes
