// The utilities layer of the core logger: client, level, debug mode, queue
// and the line format.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/environment_util.h"
#include "core/logger.h"
#include "platform/dispatch/queue.h"
#include "platform/os/syslog.h"

namespace core {

namespace {

namespace syslog = platform::os::syslog;
using platform::dispatch::Qos;
using platform::dispatch::Queue;

constexpr const char* kFacility = "com.dozada.utilities.logger";

struct LoggerState {
  std::shared_ptr<syslog::Client> client;
  std::optional<Queue> queue;
};

std::once_flag g_utilities_once;
// Written once under g_utilities_once, read-only afterwards. Never destroyed: work still
// running on other threads while the process exits may log.
LoggerState& g_state = *new LoggerState();
// Read without a lock on every log call.
std::atomic<int> g_level{GULLoggerLevelNotice};
std::atomic<bool> g_debug_mode{false};

std::mutex g_version_mutex;
std::string& g_version = *new std::string();  // empty until the core layer sets it; never destroyed

std::string version_text() {
  std::lock_guard lock(g_version_mutex);
  return g_version;
}

const Queue& logging_queue() { return *g_state.queue; }

std::string format_message(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, static_cast<std::size_t>(n));
  std::string text(static_cast<std::size_t>(n) + 1, '\0');
  va_copy(copy, args);
  std::vsnprintf(text.data(), text.size(), format, copy);
  va_end(copy);
  text.resize(static_cast<std::size_t>(n));
  return text;
}

bool passes(GULLoggerLevel level, bool force) {
  return force || level <= g_level.load(std::memory_order_relaxed) || g_debug_mode.load(std::memory_order_relaxed);
}

void enqueue_line(GULLoggerLevel level, std::string_view service, bool force, std::string_view code,
                  std::string_view message) {
  std::string line = version_text();
  line.append(" - ").append(service).append("[").append(code).append("] ").append(message);
  logging_queue().async([level, force, line = std::move(line)] {
    syslog::Client& client = *g_state.client;
    const std::uint32_t filter = client.filter();
    if (force && !(filter & syslog::mask(level))) {
      // A forced line passes the client's filter too; nothing else touches
      // the client off this queue, so the filter is back before anyone looks.
      client.set_filter(filter | syslog::mask(level));
      client.log(level, line);
      client.set_filter(filter);
      return;
    }
    client.log(level, line);
  });
}

void log_formatted(GULLoggerLevel level, std::string_view service, bool force, std::string_view code,
                   const char* format, va_list args) {
  GULLoggerInitialize();
  if (!passes(level, force)) return;
  enqueue_line(level, service, force, code, format_message(format, args));
}

void log_message(GULLoggerLevel level, std::string_view service, bool force, std::string_view code,
                 std::string_view message) {
  GULLoggerInitialize();
  if (!passes(level, force)) return;
  enqueue_line(level, service, force, code, message);
}

}  // namespace

void GULLoggerInitialize() {
  std::call_once(g_utilities_once, [] {
    const int major = std::atoi(GULAppEnvironmentUtil::systemVersion().c_str());
    g_state.client = syslog::Client::open(std::nullopt, kFacility, major < 10);
    g_level.store(GULLoggerLevelNotice);
    g_state.client->set_filter(syslog::mask_upto(GULLoggerLevelNotice));
    g_state.queue = Queue::serial("GULLoggingClientQueue", Queue::global(Qos::background));
  });
}

void GULSetLoggerLevel(GULLoggerLevel level) {
  GULLoggerInitialize();
  if (level < GULLoggerLevelMin || level > GULLoggerLevelMax) {
    GULLogError(kGULLoggerLogger, false, "I-COR000023", "Invalid logger level, %ld", static_cast<long>(level));
    return;
  }
  if (level >= GULLoggerLevelNotice && GULAppEnvironmentUtil::isFromAppStore()) return;
  // The filter change is queued before the level is visible, so a line that
  // passes the new level is queued behind it.
  logging_queue().async([level] { g_state.client->set_filter(syslog::mask_upto(level)); });
  g_level.store(level);
}

bool GULIsLoggableLevel(GULLoggerLevel level) {
  GULLoggerInitialize();
  return level <= g_level.load(std::memory_order_relaxed) || g_debug_mode.load(std::memory_order_relaxed);
}

void GULLoggerSetVersionText(std::string_view version) {
  GULLoggerInitialize();
  std::lock_guard lock(g_version_mutex);
  g_version.assign(version);
}

void GULLoggerAddStandardErrorOutput() {
  GULLoggerInitialize();
  logging_queue().async([] { g_state.client->add_output(2); });
}

void GULLoggerTurnOnDebugMode() {
  GULLoggerInitialize();
  if (GULAppEnvironmentUtil::isFromAppStore()) return;
  GULSetLoggerLevel(GULLoggerLevelDebug);
  g_debug_mode.store(true);
}

void GULLoggerWaitForQueue() {
  GULLoggerInitialize();
  logging_queue().sync([] {});
}

void GULLogBasic(GULLoggerLevel level, std::string_view service, bool force, std::string_view code, const char* format,
                 va_list args) {
  log_formatted(level, service, force, code, format, args);
}

void GULLogBasicMessage(GULLoggerLevel level, std::string_view service, bool force, std::string_view code,
                        std::string_view message) {
  log_message(level, service, force, code, message);
}

#define CORE_GUL_LEVEL_ENTRIES(Name, Level)                                                                   \
  void GULLog##Name(std::string_view service, bool force, std::string_view code, const char* format, ...) { \
    va_list args;                                                                                         \
    va_start(args, format);                                                                               \
    log_formatted(Level, service, force, code, format, args);                                            \
    va_end(args);                                                                                         \
  }                                                                                                       \
  void GULLog##Name##Message(std::string_view service, bool force, std::string_view code,                 \
                             std::string_view message) {                                                  \
    log_message(Level, service, force, code, message);                                                   \
  }

CORE_GUL_LEVEL_ENTRIES(Error, GULLoggerLevelError)
CORE_GUL_LEVEL_ENTRIES(Warning, GULLoggerLevelWarning)
CORE_GUL_LEVEL_ENTRIES(Notice, GULLoggerLevelNotice)
CORE_GUL_LEVEL_ENTRIES(Info, GULLoggerLevelInfo)
CORE_GUL_LEVEL_ENTRIES(Debug, GULLoggerLevelDebug)

#undef CORE_GUL_LEVEL_ENTRIES

void GULLoggerWrapper::logWithLevel(GULLoggerLevel level, std::string_view service, std::string_view code,
                                    const char* message, va_list args) {
  log_formatted(level, service, false, code, message, args);
}

}  // namespace core
