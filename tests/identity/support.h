#pragma once
// Shared set-up of the identity tests: a harness device (fakes and profile as
// asked), the client's subdirectory, and a recorder of the client's log lines.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "identity/backup_excluded_plist.h"
#include "identity/logger.h"
#include "platform/os/file_manager.h"
#include "testing/harness/harness.h"

namespace identity_test {

struct LogLine {
  int level;
  long code;
  std::string message;
};

// Records every line of the client's logger while alive.
class IdentityLogRecorder {
 public:
  IdentityLogRecorder() {
    identity::FIRInstanceIDLogger::setTestObserver([this](int level, long code, const std::string& message) {
      std::lock_guard lock(mutex_);
      lines_.push_back({level, code, message});
    });
  }
  ~IdentityLogRecorder() { identity::FIRInstanceIDLogger::setTestObserver({}); }
  IdentityLogRecorder(const IdentityLogRecorder&) = delete;
  IdentityLogRecorder& operator=(const IdentityLogRecorder&) = delete;

  std::vector<LogLine> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::size_t count(long code) const {
    const auto all = lines();
    return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), [&](const LogLine& l) { return l.code == code; }));
  }
  bool has(long code) const { return count(code) > 0; }
  std::optional<LogLine> first(long code) const {
    for (const auto& line : lines()) {
      if (line.code == code) return line;
    }
    return std::nullopt;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LogLine> lines_;
};

inline std::filesystem::path applicationSupport() {
  return platform::os::FileManager::shared().url_for(platform::os::Directory::application_support);
}
inline std::filesystem::path documents() {
  return platform::os::FileManager::shared().url_for(platform::os::Directory::documents);
}
inline std::filesystem::path subDirectory() {
  return applicationSupport() / std::string(identity::kFIRInstanceIDSubDirectoryName);
}
inline void createSubDirectory() { std::filesystem::create_directories(subDirectory()); }

// A booted harness device with the client's subdirectory made, and a log recorder.
class IdentityHarnessTest : public ::testing::Test {
 protected:
  void boot(testing::HarnessOptions options = {}, bool makeSubDirectory = true) {
    harness_.emplace(std::move(options));
    if (makeSubDirectory) createSubDirectory();
  }
  testing::Harness& harness() { return *harness_; }

  IdentityLogRecorder log_;
  std::optional<testing::Harness> harness_;
};

}  // namespace identity_test
