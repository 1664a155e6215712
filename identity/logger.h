#pragma once
// FIRInstanceIDLogger: the client's logger. Every line goes to the core
// logger with the service "[Davidize/InstanceID]" and a code "I-IID%06ld".
// Messages are finished texts, never read as formats; the IID_LOG_* macros
// format with printf rules first. Any thread.
#include <cstdarg>
#include <functional>
#include <string>
#include <string_view>

namespace identity {

class FIRInstanceIDLogger {
 public:
  // "I-IID" and the code in six digits.
  static std::string formatMessageCode(long code);

  void logFuncDebug(const char* func, long messageCode, std::string_view msg);
  void logFuncInfo(const char* func, long messageCode, std::string_view msg);
  void logFuncNotice(const char* func, long messageCode, std::string_view msg);
  void logFuncWarning(const char* func, long messageCode, std::string_view msg);
  void logFuncError(const char* func, long messageCode, std::string_view msg);

  // Tests: sees level (3-7), code and message of every line before it is
  // handed on; an empty function removes it.
  using Observer = std::function<void(int level, long code, const std::string& message)>;
  static void setTestObserver(Observer observer);
};

// The one logger of the process, made on first use.
FIRInstanceIDLogger& FIRInstanceIDDefaultLogger();

// printf-style text of the arguments.
std::string FIRInstanceIDFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace identity

#define IID_LOG_DEBUG(code, ...) \
  ::identity::FIRInstanceIDDefaultLogger().logFuncDebug(__func__, (code), ::identity::FIRInstanceIDFormat(__VA_ARGS__))
#define IID_LOG_INFO(code, ...) \
  ::identity::FIRInstanceIDDefaultLogger().logFuncInfo(__func__, (code), ::identity::FIRInstanceIDFormat(__VA_ARGS__))
#define IID_LOG_NOTICE(code, ...) \
  ::identity::FIRInstanceIDDefaultLogger().logFuncNotice(__func__, (code), ::identity::FIRInstanceIDFormat(__VA_ARGS__))
#define IID_LOG_WARNING(code, ...) \
  ::identity::FIRInstanceIDDefaultLogger().logFuncWarning(__func__, (code), ::identity::FIRInstanceIDFormat(__VA_ARGS__))
#define IID_LOG_ERROR(code, ...) \
  ::identity::FIRInstanceIDDefaultLogger().logFuncError(__func__, (code), ::identity::FIRInstanceIDFormat(__VA_ARGS__))
