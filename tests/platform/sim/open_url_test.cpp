// open-url: the form the device sends follows what the delegate answers.
#include "fixture.h"

namespace platform::sim::test {
namespace {

// A delegate answering any chosen set of the two open-URL forms.
class SimUrlDelegate : public ui::Responder {
 public:
  explicit SimUrlDelegate(rt::Class& cls) : ui::Responder(cls) {}
  bool with_options(rt::Id, foundation::Url url, Dict) {
    events().push_back("options " + url.absolute_string());
    return true;
  }
  bool legacy(rt::Id, foundation::Url url, std::optional<std::string> source, Value annotation) {
    events().push_back("legacy " + url.absolute_string() + " " + source.value_or("-") + " " +
                       (annotation.is_null() ? "null" : foundation::describe(annotation)));
    return false;
  }
};

struct SimOpenUrlCase {
  std::string name;
  std::string system_version;
  bool options_form;
  bool legacy_form;
  std::string line;
  std::vector<std::string> calls;
};

TEST_F(SimTest, OpenUrlTakesTheOptionsFormWhenAnsweredElseTheLegacyOne) {
  const std::string url = "https://intranet.example.org/u";
  const std::vector<SimOpenUrlCase> cases{
      {"legacy only", "13.5", false, true, "openURL:sourceApplication:annotation: not handled",
       {"legacy " + url + " - null"}},
      {"both", "13.5", true, true, "openURL:options: handled", {"options " + url}},
      {"options only", "13.5", true, false, "openURL:options: handled", {"options " + url}},
      {"neither", "13.5", false, false, "not taken by the delegate", {}},
      {"both below 9.0", "8.4", true, true, "openURL:sourceApplication:annotation: not handled",
       {"legacy " + url + " - null"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    os::DeviceProfile profile;
    profile.system_version = c.system_version;
    start(profile);
    ASSERT_TRUE(device().launch());
    rt::ClassBuilder<SimUrlDelegate> builder("SimUrlDelegate", "UIResponder");
    if (c.options_form) builder.method(ui::sel::open_url, &SimUrlDelegate::with_options);
    if (c.legacy_form) builder.method(ui::sel::open_url_source_application, &SimUrlDelegate::legacy);
    rt::Class& cls = builder.define();
    ui::Application& app = *ui::Application::shared();
    rt::send(app, ui::sel::set_delegate, cls.create());
    events().clear();

    ASSERT_TRUE(device().open_url(url));
    EXPECT_EQ(count_lines("os| open URL " + url + ": " + c.line), 1) << all_lines();
    EXPECT_EQ(events(), c.calls);
    stop();
    std::lock_guard lock(lines_mutex_);
    lines_.clear();
  }
}

}  // namespace
}  // namespace platform::sim::test
