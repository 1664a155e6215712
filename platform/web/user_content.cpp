#include "platform/web/user_content.h"

namespace platform::web {

void UserContentController::add_user_script(UserScript script) { scripts_.push_back(std::move(script)); }

void UserContentController::remove_all_user_scripts() { scripts_.clear(); }

bool UserContentController::add_script_message_handler(std::shared_ptr<ScriptMessageHandler> handler, std::string name) {
  if (!handler || name.empty()) return false;
  return handlers_.emplace(std::move(name), std::move(handler)).second;
}

void UserContentController::remove_script_message_handler(const std::string& name) { handlers_.erase(name); }

std::shared_ptr<ScriptMessageHandler> UserContentController::handler(const std::string& name) const {
  auto it = handlers_.find(name);
  return it == handlers_.end() ? nullptr : it->second;
}

}  // namespace platform::web
