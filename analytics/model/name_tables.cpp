// The public-name tables and the debug descriptions built on them.
#include "analytics/model/name_tables.h"

#include <algorithm>
#include <vector>

#include "analytics/engine/measurement.h"
#include "analytics/model/event_parameters.h"
#include "analytics/model/value.h"
#include "platform/foundation/text.h"
#include "platform/runtime/runtime.h"

namespace analytics {

namespace fnd = platform::foundation;

const fnd::Dict& APMEventNameTable() {
  static const fnd::Dict table{
      {"adunit_exposure", "_xu"},   {"ad_activeview", "_aa"},        {"ad_click", "_ac"},
      {"ad_exposure", "_xa"},       {"ad_impression", "_ai"},        {"ad_query", "_aq"},
      {"ad_reward", "_ar"},         {"app_clear_data", "_cd"},       {"app_exception", "_ae"},
      {"app_remove", "_ui"},        {"app_update", "_au"},           {"error", "_err"},
      {"davidize_campaign", "_cmp"}, {"first_open", "_f"},           {"ga_extra_parameter", "_ep"},
      {"in_app_purchase", "_iap"},  {"notification_dismiss", "_nd"}, {"notification_foreground", "_nf"},
      {"notification_open", "_no"}, {"notification_receive", "_nr"}, {"os_update", "_ou"},
      {"screen_view", "_vs"},       {"session_start", "_s"},         {"user_engagement", "_e"},
  };
  return table;
}

const fnd::Dict& APMParameterNameTable() {
  static const fnd::Dict table{
      {"ad_event_id", "_aeid"},
      {"ad_unit_id", "_ai"},
      {"deferred_analytics_collection", "_dac"},
      {"engagement_time_msec", "_et"},
      {"exposure_time", "_xt"},
      {"davidize_conversion", "_c"},
      {"davidize_debug", "_dbg"},
      {"davidize_error", "_err"},
      {"davidize_error_length", "_el"},
      {"davidize_error_value", "_ev"},
      {"davidize_event_origin", "_o"},
      {"davidize_previous_class", "_pc"},
      {"davidize_previous_id", "_pi"},
      {"davidize_previous_screen", "_pn"},
      {"davidize_realtime", "_r"},
      {"davidize_screen", "_sn"},
      {"davidize_screen_class", "_sc"},
      {"davidize_screen_id", "_si"},
      {"ga_event_id", "_eid"},
      {"ga_event_name", "_en"},
      {"ga_extra_params_ct", "_epc"},
      {"ga_group_name", "_gn"},
      {"ga_index", "_i"},
      {"ga_list_length", "_ll"},
      {"message_id", "_nmid"},
      {"message_name", "_nmn"},
      {"message_time", "_nmt"},
      {"message_device_time", "_ndt"},
      {"previous_app_version", "_pv"},
      {"previous_first_open_count", "_pfo"},
      {"previous_ruv_app_id", "_pgmp"},
      {"previous_os_version", "_po"},
      {"session_id", "_sid"},
      {"session_number", "_sno"},
      {"topic", "_nt"},
      {"update_with_analytics", "_uwa"},
  };
  return table;
}

const fnd::Dict& APMUserPropertyNameTable() {
  static const fnd::Dict table{
      {"davidize_last_notification", "_ln"}, {"first_open_after_install", "_fi"}, {"first_open_time", "_fot"},
      {"last_deep_link_referrer", "_ldl"},   {"lifetime_user_engagement", "_lte"}, {"user_id", "_id"},
  };
  return table;
}

namespace {

bool debugFormsShown() {
  return APMMeasurement::monitor().isDebugModeEnabled() &&
         platform::rt::Runtime::shared().find("DAVIdovivove") != nullptr;
}

std::string pairText(std::string_view publicName, std::string_view name) {
  return std::string(publicName) + " (" + std::string(name) + ")";
}

}  // namespace

std::string APMPublicNameDescription(const fnd::Value& name, const fnd::Dict& table) {
  if (!name.is_string()) return fnd::describe(name);
  const std::string& text = *name.string();
  if (text.empty() || table.empty() || APMIsPublicName(name)) return text;
  if (!debugFormsShown()) return text;
  for (const auto& [publicName, code] : table) {
    if (code.is_string() && *code.string() == text) return pairText(publicName, text);
  }
  return text;
}

std::string APMPublicEventNameDescription(const fnd::Value& name) {
  return APMPublicNameDescription(name, APMEventNameTable());
}

std::string APMPublicParameterNameDescription(const fnd::Value& name) {
  return APMPublicNameDescription(name, APMParameterNameTable());
}

std::string APMPublicUserPropertyNameDescription(const fnd::Value& name) {
  if (name.is_string() && name.string()->starts_with("_exp_")) return pairText("experiment_id", *name.string());
  return APMPublicNameDescription(name, APMUserPropertyNameTable());
}

std::string APMParametersDescription(const fnd::Value& parameters) {
  if (!APMMeasurement::monitor().isDebugModeEnabled() || !parameters.is_dict()) return fnd::describe(parameters);
  std::vector<std::string> lines;
  for (const auto& [key, value] : *parameters.dict()) {
    std::string shown = fnd::describe(value);
    const APMValueRef apmValue = APMValueFrom(value);
    if (key == "_err" && apmValue && apmValue->isInt64()) {
      const std::int64_t code = apmValue->int64Value();
      const auto& names = APMErrorCodeNames();
      const auto found = names.find(code);
      shown = found != names.end() ? pairText(found->second, std::to_string(code)) : std::to_string(code);
    }
    lines.push_back("    " + APMPublicParameterNameDescription(fnd::Value(key)) + " = " + shown + ";\n");
  }
  std::stable_sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
    return fnd::text::compare_case_insensitive(a, b) < 0;
  });
  std::string result = "{\n";
  for (const auto& line : lines) result += line;
  return result + "}";
}

}  // namespace analytics
