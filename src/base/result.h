// Result: a value, or the error that prevented it. The one result type of the whole stack:
// the STL readers return it with a ReadError, the Python boundary with a PendingException.
// The first error ends an operation and the caller hands it on unchanged.
#pragma once

#include <utility>
#include <variant>

namespace vertisift::base {

template <class T, class Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  Error& error() { return std::get<1>(state_); }
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

}  // namespace vertisift::base
