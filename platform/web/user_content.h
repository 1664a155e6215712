#pragma once
// User scripts and script message handlers of a web view configuration.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace platform::web {

struct UserScript {
  enum class InjectionTime { document_start = 0, document_end = 1 };
  std::string source;
  InjectionTime injection_time = InjectionTime::document_end;
  bool main_frame_only = true;
};

struct ScriptMessage {
  std::string name;
  foundation::Value body;
};

class ScriptMessageHandler {
 public:
  virtual ~ScriptMessageHandler() = default;
  virtual void did_receive(const ScriptMessage& message) = 0;
};

// Scripts are kept (no script runs); messages posted by a page reach the
// handler registered under their name. Main thread only.
class UserContentController {
 public:
  void add_user_script(UserScript script);
  void remove_all_user_scripts();
  const std::vector<UserScript>& user_scripts() const { return scripts_; }

  // A second handler under a taken name is refused (false), as the original
  // raises for it.
  bool add_script_message_handler(std::shared_ptr<ScriptMessageHandler> handler, std::string name);
  void remove_script_message_handler(const std::string& name);
  std::shared_ptr<ScriptMessageHandler> handler(const std::string& name) const;

 private:
  std::vector<UserScript> scripts_;
  std::map<std::string, std::shared_ptr<ScriptMessageHandler>> handlers_;
};

}  // namespace platform::web
