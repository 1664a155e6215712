#include "platform/foundation/archive.h"

#include "platform/foundation/plist.h"

namespace platform::foundation::archive {

namespace {

constexpr std::string_view class_key = "$class", fields_key = "$fields", null_key = "$null", dict_key = "$dict";

bool has_reserved_key(const Dict& d) {
  for (const auto& [key, value] : d)
    if (key.starts_with('$')) return true;
  return false;
}

std::optional<Value> encode(const Value& v);

std::optional<Dict> encode_entries(const Dict& d) {
  Dict out;
  for (const auto& [key, value] : d) {
    auto e = encode(value);
    if (!e) return std::nullopt;
    out.set(key, std::move(*e));
  }
  return out;
}

std::optional<Value> encode(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::null: return Value(Dict{{std::string(null_key), Value(true)}});
    case Value::Kind::object: return std::nullopt;
    case Value::Kind::array: {
      Array out;
      out.reserve(v.array()->size());
      for (const Value& item : *v.array()) {
        auto e = encode(item);
        if (!e) return std::nullopt;
        out.push_back(std::move(*e));
      }
      return Value(std::move(out));
    }
    case Value::Kind::dict: {
      if (auto nested = as_archived(v)) {
        auto fields = encode_entries(nested->fields);
        if (!fields) return std::nullopt;
        return Value(Dict{{std::string(class_key), Value(nested->class_name)}, {std::string(fields_key), Value(std::move(*fields))}});
      }
      auto entries = encode_entries(*v.dict());
      if (!entries) return std::nullopt;
      if (has_reserved_key(*v.dict())) return Value(Dict{{std::string(dict_key), Value(std::move(*entries))}});
      return Value(std::move(*entries));
    }
    default: return v;
  }
}

std::optional<Value> decode(const Value& v);

std::optional<Dict> decode_entries(const Dict& d) {
  Dict out;
  for (const auto& [key, value] : d) {
    auto e = decode(value);
    if (!e) return std::nullopt;
    out.set(key, std::move(*e));
  }
  return out;
}

std::optional<Value> decode(const Value& v) {
  if (const Array* a = v.array()) {
    Array out;
    out.reserve(a->size());
    for (const Value& item : *a) {
      auto e = decode(item);
      if (!e) return std::nullopt;
      out.push_back(std::move(*e));
    }
    return Value(std::move(out));
  }
  const Dict* d = v.dict();
  if (!d) return v;
  if (d->size() == 1 && d->get(null_key).is_bool()) return Value();
  if (d->size() == 1 && d->get(dict_key).is_dict()) {
    auto entries = decode_entries(*d->get(dict_key).dict());
    if (!entries) return std::nullopt;
    return Value(std::move(*entries));
  }
  if (auto nested = as_archived(v)) {
    auto fields = decode_entries(nested->fields);
    if (!fields) return std::nullopt;
    return as_value(Archived{std::move(nested->class_name), std::move(*fields)});
  }
  if (has_reserved_key(*d)) return std::nullopt;
  auto entries = decode_entries(*d);
  if (!entries) return std::nullopt;
  return Value(std::move(*entries));
}

}  // namespace

Value as_value(const Archived& object) {
  return Value(Dict{{std::string(class_key), Value(object.class_name)}, {std::string(fields_key), Value(object.fields)}});
}

std::optional<Archived> as_archived(const Value& value) {
  const Dict* d = value.dict();
  if (!d || d->size() != 2) return std::nullopt;
  const std::string* name = d->get(class_key).string();
  const Dict* fields = d->get(fields_key).dict();
  if (!name || !fields) return std::nullopt;
  return Archived{*name, *fields};
}

Bytes archive(const Archived& root) {
  auto top = encode(as_value(root));
  if (!top) return {};
  Value document(Dict{{"$archiver", Value(archiver_name)}, {"$version", Value(1)}, {"$top", std::move(*top)}});
  auto bytes = plist::serialize(document, plist::Format::binary);
  return bytes ? std::move(*bytes) : Bytes{};
}

std::optional<Archived> unarchive(std::span<const std::uint8_t> bytes) {
  auto document = plist::parse(bytes);
  if (!document) return std::nullopt;
  const Value& doc = *document;
  const std::string* archiver = doc["$archiver"].string();
  if (!archiver || *archiver != archiver_name) return std::nullopt;
  if (!doc["$version"].is_integer() || doc["$version"].as_int() != 1) return std::nullopt;
  if (!as_archived(doc["$top"])) return std::nullopt;
  auto top = decode(doc["$top"]);
  if (!top) return std::nullopt;
  return as_archived(*top);
}

}  // namespace platform::foundation::archive
