// The client's logger over the core logger.
#include "identity/logger.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "core/logger.h"

namespace identity {

namespace {

std::mutex& observerMutex() {
  static std::mutex m;
  return m;
}
FIRInstanceIDLogger::Observer& observer() {
  static FIRInstanceIDLogger::Observer o;
  return o;
}

void logLine(core::FIRLoggerLevel level, long code, std::string_view msg) {
  FIRInstanceIDLogger::Observer copy;
  {
    std::lock_guard lock(observerMutex());
    copy = observer();
  }
  if (copy) copy(level, code, std::string(msg));
  core::FIRLogBasicMessage(level, core::kFIRLoggerInstanceID, FIRInstanceIDLogger::formatMessageCode(code), msg);
}

}  // namespace

std::string FIRInstanceIDLogger::formatMessageCode(long code) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "I-IID%06ld", code);
  return buffer;
}

void FIRInstanceIDLogger::logFuncDebug(const char*, long messageCode, std::string_view msg) {
  logLine(core::FIRLoggerLevelDebug, messageCode, msg);
}
void FIRInstanceIDLogger::logFuncInfo(const char*, long messageCode, std::string_view msg) {
  logLine(core::FIRLoggerLevelInfo, messageCode, msg);
}
void FIRInstanceIDLogger::logFuncNotice(const char*, long messageCode, std::string_view msg) {
  logLine(core::FIRLoggerLevelNotice, messageCode, msg);
}
void FIRInstanceIDLogger::logFuncWarning(const char*, long messageCode, std::string_view msg) {
  logLine(core::FIRLoggerLevelWarning, messageCode, msg);
}
void FIRInstanceIDLogger::logFuncError(const char*, long messageCode, std::string_view msg) {
  logLine(core::FIRLoggerLevelError, messageCode, msg);
}

void FIRInstanceIDLogger::setTestObserver(Observer o) {
  std::lock_guard lock(observerMutex());
  observer() = std::move(o);
}

FIRInstanceIDLogger& FIRInstanceIDDefaultLogger() {
  static FIRInstanceIDLogger* logger = new FIRInstanceIDLogger();
  return *logger;
}

std::string FIRInstanceIDFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (size > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(size) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    text.assign(buffer.data(), static_cast<std::size_t>(size));
  }
  va_end(args);
  return text;
}

}  // namespace identity
