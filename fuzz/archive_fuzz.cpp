// The keyed archive reader on arbitrary bytes (archives are read back from
// files the app's folders hold): whatever it reads archives again, and after
// one round the content stays as it is.

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz/support.h"
#include "platform/foundation/archive.h"

namespace {

namespace archive = platform::foundation::archive;

using fuzz::check;

// Nested objects read back as what they were archived from. Compared as text:
// a NaN field is never equal to itself.
void walk(const platform::foundation::Value& value, int depth) {
  if (depth > 64) return;
  if (auto nested = archive::as_archived(value)) {
    auto again = archive::as_archived(archive::as_value(*nested));
    check(again && again->class_name == nested->class_name &&
          describe(archive::as_value(*again)) == describe(archive::as_value(*nested)));
    for (const auto& [key, field] : nested->fields) walk(field, depth + 1);
  } else if (const auto* list = value.array()) {
    for (const auto& item : *list) walk(item, depth + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto root = archive::unarchive(std::span<const std::uint8_t>(data, size));
  if (!root) return 0;
  for (const auto& [key, field] : root->fields) walk(field, 0);
  const auto bytes = archive::archive(*root);
  if (bytes.empty()) return 0;  // holds what no archive can (a string with NUL, a date out of range)
  auto again = archive::unarchive(bytes);
  check(again.has_value() && again->class_name == root->class_name && again->fields.size() == root->fields.size());
  // The bytes may differ (the writer shares equal data blobs only now and then),
  // the content may not: the second round reads back what the first gave.
  auto third = archive::unarchive(archive::archive(*again));
  check(third.has_value() && describe(archive::as_value(*third)) == describe(archive::as_value(*again)));
  return 0;
}
