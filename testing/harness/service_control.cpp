// Scenario-scripted answers on loopback fakes.
#include "testing/harness/service_control.h"

#include <chrono>
#include <cmath>

namespace testing {

std::string path_pattern(std::string_view path) {
  std::string pattern;
  for (char c : path) {
    if (c == '*') {
      pattern += ".*";
      continue;
    }
    if (std::string_view("\\^$.|?+()[]{}").find(c) != std::string_view::npos) pattern += '\\';
    pattern += c;
  }
  return pattern;
}

fakes::ScriptedAnswer to_scripted_answer(const platform::sim::ServiceAnswer& answer) {
  using Action = platform::sim::ServiceAnswer::Action;
  fakes::ScriptedAnswer scripted;
  scripted.action = answer.action == Action::drop     ? fakes::ScriptedAnswer::Action::drop
                 : answer.action == Action::refuse ? fakes::ScriptedAnswer::Action::refuse
                                                   : fakes::ScriptedAnswer::Action::answer;
  scripted.status = answer.status;
  scripted.headers = answer.headers;
  scripted.body = answer.body;
  scripted.delay = std::chrono::milliseconds(std::llround(answer.delay_s * 1000));
  return scripted;
}

void install_service_control(std::vector<fakes::FakeService*> services) {
  platform::sim::set_service_control({
      .set_answer = [services](const platform::sim::ServiceAnswer& answer) -> std::string {
        for (fakes::FakeService* service : services) {
          if (service->name() != answer.service) continue;
          service->answer(answer.method, path_pattern(answer.path), to_scripted_answer(answer));
          return {};
        }
        return "no service " + answer.service;
      },
      .reset_answers =
          [services] {
            for (fakes::FakeService* service : services) service->clear_scripted();
          },
  });
}

}  // namespace testing
