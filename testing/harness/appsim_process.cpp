#include "testing/harness/appsim_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

extern char** environ;

namespace testing {

namespace {

using Clock = std::chrono::steady_clock;

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("AppSimProcess: pipe: ") + std::strerror(errno));
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    close_fd(read);
    close_fd(write);
  }
};

}  // namespace

// ---- AppSimLine ---------------------------------------------------------------

AppSimLine AppSimLine::parse(std::string_view line) {
  const auto bar = line.find('|');
  constexpr std::size_t kTagWidth = 6;
  if (bar == std::string_view::npos || bar > kTagWidth) return {"", std::string(line)};
  std::string_view tag = line.substr(0, bar);
  while (!tag.empty() && tag.back() == ' ') tag.remove_suffix(1);
  std::string_view text = line.substr(bar + 1);
  if (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  return {std::string(tag), std::string(text)};
}

// ---- Result -------------------------------------------------------------------

std::vector<std::string> AppSimProcess::Result::texts(std::string_view tag) const {
  std::vector<std::string> out;
  for (const auto& line : lines) {
    AppSimLine parsed = AppSimLine::parse(line);
    if (parsed.tag == tag) out.push_back(std::move(parsed.text));
  }
  return out;
}

bool AppSimProcess::Result::has(std::string_view tag, std::string_view needle) const {
  for (const auto& line : lines) {
    const AppSimLine parsed = AppSimLine::parse(line);
    if ((tag.empty() || parsed.tag == tag) && parsed.text.find(needle) != std::string::npos) return true;
  }
  return false;
}

std::string AppSimProcess::Result::transcript() const {
  std::string out = "exit " + std::to_string(exit_code) + (killed ? " (killed at the deadline)" : "") + "\n";
  for (const auto& line : lines) out += line + "\n";
  if (!error_output.empty()) out += "-- standard error:\n" + error_output;
  return out;
}

// ---- AppSimProcess ------------------------------------------------------------

std::filesystem::path AppSimProcess::built_executable() {
#ifdef APPSIM_EXECUTABLE
  return APPSIM_EXECUTABLE;
#else
  return {};
#endif
}

std::filesystem::path AppSimProcess::built_bundle() {
#ifdef APPSIM_BUNDLE
  return APPSIM_BUNDLE;
#else
  return {};
#endif
}

AppSimProcess::AppSimProcess(std::vector<std::string> arguments, AppSimOptions options)
    : input_(std::move(options.input)) {
  const std::filesystem::path program =
      options.executable.empty() ? built_executable() : std::move(options.executable);
  if (program.empty()) throw std::runtime_error("AppSimProcess: this build has no appsim");

  std::vector<std::string> argv_text;
  argv_text.push_back(program.string());
  for (auto& a : arguments) argv_text.push_back(std::move(a));
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::map<std::string, std::string> env_map;
  for (char** e = environ; e && *e; ++e) {
    const std::string entry = *e;
    const auto eq = entry.find('=');
    if (eq != std::string::npos) env_map.emplace(entry.substr(0, eq), entry.substr(eq + 1));
  }
  for (auto& [k, v] : options.environment) env_map[k] = v;
  std::vector<std::string> env_text;
  for (const auto& [k, v] : env_map) env_text.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  Pipe in, out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // dup2 clears close-on-exec on the child's copies; every other end closes at exec.
  posix_spawn_file_actions_adddup2(&actions, in.read, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The child starts with the default SIGPIPE disposition and no blocked signals.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  // Its own process group, so the deadline also ends what it started.
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error("AppSimProcess: cannot start " + program.string() + ": " + std::strerror(rc));
  }
  deadline_ = Clock::now() + options.deadline;

  in_fd_ = in.write;
  in.write = -1;
  out_fd_ = out.read;
  out.read = -1;
  err_fd_ = err.read;
  err.read = -1;
  for (int fd : {in_fd_, out_fd_, err_fd_}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  if (input_.empty()) close_fd(in_fd_);
  monitor_ = std::thread([this] { monitor(); });
}

AppSimProcess::~AppSimProcess() {
  {
    std::lock_guard lock(mutex_);
    if (!finished_) kill_requested_ = true;
  }
  if (monitor_.joinable()) monitor_.join();
  close_fd(in_fd_);
  close_fd(out_fd_);
  close_fd(err_fd_);
}

AppSimProcess::Result AppSimProcess::run(std::vector<std::string> arguments, AppSimOptions options) {
  AppSimProcess process(std::move(arguments), std::move(options));
  return process.wait();
}

void AppSimProcess::take_output(std::string& buffer, const char* data, std::size_t size, bool is_stdout) {
  std::lock_guard lock(mutex_);
  if (!is_stdout) {
    err_output_.append(data, size);
    return;
  }
  buffer.append(data, size);
  std::size_t start = 0;
  for (auto nl = buffer.find('\n'); nl != std::string::npos; nl = buffer.find('\n', start)) {
    lines_.push_back(buffer.substr(start, nl - start));
    start = nl + 1;
  }
  buffer.erase(0, start);
  changed_.notify_all();
}

void AppSimProcess::monitor() {
  // A write to a child that closed its input must fail with EPIPE, not end this process.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

  std::size_t written = 0;
  bool killed = false;
  bool exited = false;
  int status = 0;
  Clock::time_point exited_at;
  auto kill_child = [&] {
    if (!killed && !exited) ::kill(-pid_, SIGKILL);  // its process group: descendants too
    killed = killed || !exited;
  };
  auto kill_due = [&] {
    std::lock_guard lock(mutex_);
    return kill_requested_ || Clock::now() >= deadline_;
  };
  auto reap = [&](bool block) {
    if (exited) return;
    const pid_t done = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (done == pid_ || (done < 0 && errno != EINTR)) {
      if (done < 0) status = -1;
      exited = true;
      exited_at = Clock::now();
    }
  };
  char buffer[16384];
  while (out_fd_ >= 0 || err_fd_ >= 0) {
    if (kill_due()) kill_child();
    reap(false);
    // A descendant that outlives the child may hold the pipes open.
    if (exited && Clock::now() - exited_at > std::chrono::seconds(1)) {
      ::kill(-pid_, SIGKILL);
      break;
    }
    pollfd fds[3];
    int n = 0;
    int out_index = -1, err_index = -1, in_index = -1;
    if (out_fd_ >= 0) fds[out_index = n++] = {out_fd_, POLLIN, 0};
    if (err_fd_ >= 0) fds[err_index = n++] = {err_fd_, POLLIN, 0};
    if (in_fd_ >= 0) fds[in_index = n++] = {in_fd_, POLLOUT, 0};
    if (::poll(fds, static_cast<nfds_t>(n), 20) < 0 && errno != EINTR) break;
    auto drain = [&](int index, int& fd, bool is_stdout) {
      if (index < 0 || fds[index].revents == 0) return;
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got > 0) take_output(out_partial_, buffer, static_cast<std::size_t>(got), is_stdout);
      else if (got == 0 || (errno != EAGAIN && errno != EINTR)) close_fd(fd);
    };
    drain(out_index, out_fd_, true);
    drain(err_index, err_fd_, false);
    if (in_index >= 0 && fds[in_index].revents != 0) {
      const ssize_t put = ::write(in_fd_, input_.data() + written, input_.size() - written);
      if (put > 0) written += static_cast<std::size_t>(put);
      if ((put < 0 && errno != EAGAIN && errno != EINTR) || written == input_.size()) close_fd(in_fd_);
    }
  }
  close_fd(in_fd_);

  // The outputs are closed; the child is ending (or closed them itself).
  while (!exited) {
    if (kill_due()) kill_child();
    reap(killed);
    if (!exited) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  std::lock_guard lock(mutex_);
  if (!out_partial_.empty()) lines_.push_back(std::move(out_partial_));
  out_partial_.clear();
  if (status == -1) exit_code_ = -1;
  else if (WIFEXITED(status)) exit_code_ = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) exit_code_ = -WTERMSIG(status);
  killed_ = killed;
  finished_ = true;
  changed_.notify_all();
}

AppSimProcess::Result AppSimProcess::wait() {
  // The monitor kills the child at the deadline, so this ends.
  if (monitor_.joinable()) monitor_.join();
  std::lock_guard lock(mutex_);
  return {exit_code_, killed_, lines_, err_output_};
}

bool AppSimProcess::wait_for_line(const std::function<bool(const std::string&)>& pred,
                                  std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  std::size_t checked = 0;
  const auto until = std::min(Clock::now() + timeout, deadline_ + std::chrono::seconds(5));
  for (;;) {
    for (; checked < lines_.size(); ++checked)
      if (pred(lines_[checked])) return true;
    if (finished_) return false;
    if (changed_.wait_until(lock, until) == std::cv_status::timeout) {
      for (; checked < lines_.size(); ++checked)
        if (pred(lines_[checked])) return true;
      return false;
    }
  }
}

bool AppSimProcess::finished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

std::vector<std::string> AppSimProcess::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

void AppSimProcess::kill() {
  std::lock_guard lock(mutex_);
  if (!finished_) kill_requested_ = true;
}

}  // namespace testing
