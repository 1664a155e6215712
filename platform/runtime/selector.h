#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace platform::rt {

// A selector's identity: its name, interned once per process. Two SelIds are
// equal exactly when their names are equal; comparing and hashing are pointer
// operations. Interned names live for the whole process.
class SelId {
 public:
  SelId();  // the empty selector ""
  explicit SelId(std::string_view name);

  std::string_view name() const noexcept { return *name_; }
  std::size_t hash() const noexcept { return std::hash<const void*>{}(name_); }
  friend bool operator==(SelId a, SelId b) noexcept { return a.name_ == b.name_; }

 private:
  const std::string* name_;
};

// Typed selectors. The signature R(A...) is what an implementation receives
// after its receiver: Object& for instance selectors, Class& for class ones.
// A selector converts to its SelId wherever a plain identity is wanted.
template <class Sig>
struct Sel;
template <class Sig>
struct ClassSel;

template <class R, class... A>
struct Sel<R(A...)> {
  SelId id;
  std::string_view name;  // the interned name: valid for the process

  Sel(std::string_view selector_name) : id(selector_name), name(id.name()) {}
  operator SelId() const noexcept { return id; }
};

template <class R, class... A>
struct ClassSel<R(A...)> {
  SelId id;
  std::string_view name;

  ClassSel(std::string_view selector_name) : id(selector_name), name(id.name()) {}
  operator SelId() const noexcept { return id; }
};

}  // namespace platform::rt

template <>
struct std::hash<platform::rt::SelId> {
  std::size_t operator()(platform::rt::SelId sel) const noexcept { return sel.hash(); }
};
