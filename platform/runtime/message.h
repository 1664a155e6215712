#pragma once

#include <optional>
#include <type_traits>
#include <utility>

#include "platform/runtime/class.h"
#include "platform/runtime/imp.h"
#include "platform/runtime/object.h"
#include "platform/runtime/selector.h"

namespace platform::rt {

template <class R>
using IfRespondsResult = std::conditional_t<std::is_void_v<R>, bool, std::optional<R>>;

// Dispatches through the receiver's isa chain. The Imp is copied out of the
// table under the shared lock and called outside it, so a concurrent
// replace or exchange never pulls the implementation from under a call.
// Throws UnrecognizedSelector when nothing (or an empty entry) answers, and
// SignatureMismatch when the entry was made for another signature.
template <class R, class... A, class... Args>
R send(Object& receiver, const Sel<R(A...)>& sel, Args&&... args) {
  return receiver.isa().lookup(sel.id).call(sel, receiver, std::forward<Args>(args)...);
}

// Sends only when receiver.responds_to(sel): the result in an optional, or for
// void selectors whether it was sent.
template <class R, class... A, class... Args>
IfRespondsResult<R> send_if_responds(Object& receiver, const Sel<R(A...)>& sel, Args&&... args) {
  static_assert(!std::is_reference_v<R>, "send_if_responds returns results by value");
  if (!receiver.responds_to(sel.id)) return {};
  if constexpr (std::is_void_v<R>) {
    send(receiver, sel, std::forward<Args>(args)...);
    return true;
  } else {
    return send(receiver, sel, std::forward<Args>(args)...);
  }
}

// Class methods, inherited along the superclass chain.
template <class R, class... A, class... Args>
R send(Class& receiver, const ClassSel<R(A...)>& sel, Args&&... args) {
  return receiver.lookup_class(sel.id).call(sel, receiver, std::forward<Args>(args)...);
}

template <class R, class... A, class... Args>
IfRespondsResult<R> send_if_responds(Class& receiver, const ClassSel<R(A...)>& sel, Args&&... args) {
  static_assert(!std::is_reference_v<R>, "send_if_responds returns results by value");
  if (!receiver.resolve_class(sel.id)) return {};
  if constexpr (std::is_void_v<R>) {
    send(receiver, sel, std::forward<Args>(args)...);
    return true;
  } else {
    return send(receiver, sel, std::forward<Args>(args)...);
  }
}

}  // namespace platform::rt
