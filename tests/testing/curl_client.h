#pragma once
// A small libcurl client for talking to the fakes directly: the host map goes
// to CURLOPT_CONNECT_TO and the test CA to CURLOPT_CAINFO, so the request
// carries the fake's real host name (Host, SNI and certificate check).
#include <curl/curl.h>
#include <strings.h>

#include <map>
#include <string>
#include <vector>

namespace testing::fakes::test {

struct Call {
  std::string method = "GET";
  std::string path = "/";
  std::string body{};
  std::vector<std::string> headers{};  // "Name: value"
  long timeout_s = 20;
};

struct Reply {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  long local_port = 0;
  long new_connections = 0;

  std::string header(const std::string& name) const {
    for (const auto& [k, v] : headers)
      if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
    return {};
  }
};

// One easy handle, reused across calls so connections are kept alive.
class CurlClient {
 public:
  CurlClient(std::string base_url, const std::map<std::string, std::string>& host_map, std::string ca_file)
      : base_(std::move(base_url)), ca_(std::move(ca_file)), easy_(curl_easy_init()) {
    for (const auto& [from, to] : host_map) connect_to_ = curl_slist_append(connect_to_, (from + ":" + to).c_str());
  }
  ~CurlClient() {
    curl_easy_cleanup(easy_);
    curl_slist_free_all(connect_to_);
  }
  CurlClient(const CurlClient&) = delete;
  CurlClient& operator=(const CurlClient&) = delete;

  Reply fetch(const Call& call) {
    Reply reply;
    curl_easy_reset(easy_);
    const std::string url = base_ + call.path;
    curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy_, CURLOPT_CONNECT_TO, connect_to_);
    if (!ca_.empty()) curl_easy_setopt(easy_, CURLOPT_CAINFO, ca_.c_str());
    curl_easy_setopt(easy_, CURLOPT_TIMEOUT, call.timeout_s);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    if (call.method == "HEAD") {
      curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
    } else if (call.method != "GET" || !call.body.empty()) {
      curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, call.body.data());
      curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE, static_cast<long>(call.body.size()));
      curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, call.method.c_str());
    }
    curl_slist* headers = curl_slist_append(nullptr, "Expect:");
    for (const auto& h : call.headers) headers = curl_slist_append(headers, h.c_str());
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlClient::on_body);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlClient::on_header);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, &reply);
    reply.code = curl_easy_perform(easy_);
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_getinfo(easy_, CURLINFO_LOCAL_PORT, &reply.local_port);
    curl_easy_getinfo(easy_, CURLINFO_NUM_CONNECTS, &reply.new_connections);
    curl_slist_free_all(headers);
    return reply;
  }

 private:
  static size_t on_body(char* data, size_t size, size_t n, void* user) {
    static_cast<Reply*>(user)->body.append(data, size * n);
    return size * n;
  }
  static size_t on_header(char* data, size_t size, size_t n, void* user) {
    std::string line(data, size * n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      static_cast<Reply*>(user)->headers.emplace_back(line.substr(0, colon), value);
    }
    return size * n;
  }

  std::string base_, ca_;
  CURL* easy_;
  curl_slist* connect_to_ = nullptr;
};

}  // namespace testing::fakes::test
