#pragma once
// The tables of public names and their internal codes (events, parameters,
// user properties) and the debug forms of names and parameter dictionaries
// built on them. The tables are built once on first use and never change;
// everything here is callable from any thread.
#include <string>

#include "platform/foundation/value.h"

namespace analytics {

// Public name -> internal code, in table order.
const platform::foundation::Dict& APMEventNameTable();
const platform::foundation::Dict& APMParameterNameTable();
const platform::foundation::Dict& APMUserPropertyNameTable();

// The debug form of a name: "public (internal)" for an internal name found in
// the table while the monitor's debug mode is on and a class "DAVIdovivove"
// exists; the name itself otherwise (a non-string gives its description).
std::string APMPublicNameDescription(const platform::foundation::Value& name, const platform::foundation::Dict& table);
std::string APMPublicEventNameDescription(const platform::foundation::Value& name);
std::string APMPublicParameterNameDescription(const platform::foundation::Value& name);
// "_exp_…" always gives "experiment_id (_exp_…)".
std::string APMPublicUserPropertyNameDescription(const platform::foundation::Value& name);

// In debug mode, a dictionary as "{\n" + one "    name = value;\n" line per
// entry + "}", names in their debug form, an "_err" code with its name, lines
// sorted stably by case folding. Otherwise the value's own description.
std::string APMParametersDescription(const platform::foundation::Value& parameters);

}  // namespace analytics
