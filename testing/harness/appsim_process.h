#pragma once
// Runs the built appsim driver as a child process for end-to-end tests:
// posix_spawn with its standard output and error captured line by line and a
// kill deadline (60 s unless given), so no test can hang on it.
//
//   auto run = testing::AppSimProcess::run({"run", "--device", dir, "--bundle", bundle, script});
//   EXPECT_EQ(run.exit_code, 0);
//   EXPECT_THAT(run.texts("app"), Contains("..."));
//
// Every wait is bounded: by its own timeout and by the kill deadline.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testing {

struct AppSimOptions {
  // The child gets SIGKILL once this much real time has passed since the start.
  std::chrono::milliseconds deadline = std::chrono::seconds(60);
  // Written to the child's standard input, which is then closed (empty: closed at once).
  std::string input;
  // Set in the child's environment on top of this process's.
  std::map<std::string, std::string> environment;
  // The program to run; empty: the appsim of this build tree.
  std::filesystem::path executable;
};

// One output line of appsim's text form, "<tag padded to 6>| <text>".
struct AppSimLine {
  std::string tag;   // "" for a continuation line or a line of another shape
  std::string text;  // the whole line when it has no tag separator
  static AppSimLine parse(std::string_view line);
};

class AppSimProcess {
 public:
  struct Result {
    int exit_code = -1;  // the exit status, or -signal when a signal ended the child
    bool killed = false;  // the deadline passed and the child was killed
    std::vector<std::string> lines;  // standard output, one entry per line
    std::string error_output;        // standard error
    // The texts of the lines carrying `tag` ("os", "svc", "app", "log", "step", "screen", "done").
    std::vector<std::string> texts(std::string_view tag) const;
    // Whether some line's text (of that tag; any tag when empty) contains `needle`.
    bool has(std::string_view tag, std::string_view needle) const;
    // Standard output and error, for failure messages.
    std::string transcript() const;
  };

  // The appsim binary and the App.app of this build tree (empty when the build has none).
  static std::filesystem::path built_executable();
  static std::filesystem::path built_bundle();

  // Starts `appsim <arguments...>`. Throws std::runtime_error when it cannot
  // be started.
  explicit AppSimProcess(std::vector<std::string> arguments, AppSimOptions options = {});
  // Kills a child that is still running, and reaps it.
  ~AppSimProcess();
  AppSimProcess(const AppSimProcess&) = delete;
  AppSimProcess& operator=(const AppSimProcess&) = delete;

  // Runs to the end (or the kill deadline) and hands the result over.
  static Result run(std::vector<std::string> arguments, AppSimOptions options = {});

  pid_t pid() const { return pid_; }
  // Waits until the child has ended (killed at the deadline at the latest).
  Result wait();
  // Waits until a standard-output line satisfies `pred`, the child ends or
  // `timeout` passes; whether such a line arrived.
  bool wait_for_line(const std::function<bool(const std::string&)>& pred, std::chrono::milliseconds timeout);
  bool finished() const;
  std::vector<std::string> lines() const;
  // Sends SIGKILL now (the result then says killed).
  void kill();

 private:
  void monitor();
  void take_output(std::string& buffer, const char* data, std::size_t size, bool is_stdout);

  pid_t pid_ = -1;
  int in_fd_ = -1, out_fd_ = -1, err_fd_ = -1;
  std::string input_;
  std::chrono::steady_clock::time_point deadline_;
  std::thread monitor_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::string out_partial_, err_output_;
  bool finished_ = false;
  bool killed_ = false;
  bool kill_requested_ = false;
  int exit_code_ = -1;
};

}  // namespace testing
