#pragma once

#include <cassert>
#include <utility>
#include <variant>

#include "platform/Error.hpp"

namespace velkin {

// A value or the error that prevented it. Nothing crosses the host boundary as an
// exception; operations that can fail return one of these and the caller must look.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() {
    assert(ok());
    return std::get<0>(state_);
  }
  const T& value() const {
    assert(ok());
    return std::get<0>(state_);
  }
  const Error& error() const {
    assert(!ok());
    return std::get<1>(state_);
  }

 private:
  std::variant<T, Error> state_;
};

}  // namespace velkin
