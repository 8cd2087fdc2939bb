// The arguments of the tools' native functions, by name: each function declares one table of
// its parameters (name, and the converter that turns the object into a field of the
// function's typed arguments), and bind() matches a call's positional and keyword arguments
// to it, then runs the converters in the table's order, the first failure ending the call.
// Every parameter is required but those marked `none_by_default` (keywords added later, which
// older callers do not pass), whose converter then sees None; the package passes them all as
// its callers gave them. The converters are the one place their rules are checked, in the
// words the package's callers see: a rule that relates two arguments is checked by the
// converter of the later one in the table, which therefore lists the parameters in the order
// their errors take precedence.
#pragma once

#include "boundary/pending.h"  // first: Python.h precedes the standard headers

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace vertisift::tools {

// What a converter gives: nothing, or the exception that ends the call.
struct Converted {};
using Conversion = boundary::Outcome<Converted>;

template <class Arguments>
struct Parameter {
  const char* name;
  Conversion (*convert)(PyObject* value, Arguments& into);
  bool none_by_default = false;  // not given: converted as None
};

template <class Arguments>
struct Signature {
  const char* function;   // as messages name it: "sample"
  Py_ssize_t positional;  // the leading parameters that may also come by position
  std::span<const Parameter<Arguments>> parameters;
};

// The most parameters a signature may declare.
inline constexpr std::size_t MAX_PARAMETERS = 16;

// TypeErrors of a call that does not fit its signature, in the interpreter's words.
boundary::PendingException too_many_positional(const char* function, Py_ssize_t allowed,
                                               Py_ssize_t given);
boundary::PendingException unexpected_keyword(const char* function, PyObject* keyword);
boundary::PendingException given_twice(const char* function, const char* name,
                                       std::size_t position);
boundary::PendingException missing_argument(const char* function, const char* name,
                                            std::size_t position, bool by_position);

// Whether the keyword `keyword` (a str, as the interpreter passes keyword names) is `name`.
[[nodiscard]] bool keyword_is(PyObject* keyword, const char* name);

// The call's arguments (a vectorcall's `args`, `nargs` and `kwnames`) matched to the
// parameters of `signature` and converted into `into`.
template <class Arguments>
[[nodiscard]] Conversion bind(const Signature<Arguments>& signature, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames, Arguments& into) {
  const auto& parameters = signature.parameters;
  const std::size_t count = parameters.size();
  if (nargs > signature.positional) {
    return too_many_positional(signature.function, signature.positional, nargs);
  }
  PyObject* slots[MAX_PARAMETERS] = {};
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    // Callers name the parameters in the table's order: look there first.
    const auto expected = static_cast<std::size_t>(nargs + k);
    std::size_t found = count;
    for (std::size_t step = 0; step < count && found == count; ++step) {
      const std::size_t at = (expected + step) % count;
      if (keyword_is(keyword, parameters[at].name)) found = at;
    }
    if (found == count) return unexpected_keyword(signature.function, keyword);
    if (slots[found] != nullptr) {
      return given_twice(signature.function, parameters[found].name, found + 1);
    }
    slots[found] = args[nargs + k];
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (slots[i] == nullptr && parameters[i].none_by_default) slots[i] = Py_None;
    if (slots[i] == nullptr) {
      return missing_argument(signature.function, parameters[i].name, i + 1,
                              static_cast<Py_ssize_t>(i) < signature.positional);
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    Conversion converted = parameters[i].convert(slots[i], into);
    if (!converted.ok()) return converted;
  }
  return Converted{};
}

// Stores a converted value in its field, or hands on the failure.
template <class T>
[[nodiscard]] Conversion store(boundary::Outcome<T> converted, T& field) {
  if (!converted.ok()) return std::move(converted.error());
  field = std::move(converted.value());
  return Converted{};
}

// The converters' plain values: an int in [0, 2**64) (boundary::to_u64), a bool (True or
// False alone), None or an int in [0, 2**64), and a str by its UTF-8.
[[nodiscard]] boundary::Outcome<bool> to_bool(PyObject* value);
[[nodiscard]] boundary::Outcome<std::optional<std::uint64_t>> to_optional_u64(PyObject* value);
[[nodiscard]] boundary::Outcome<std::string_view> to_name(PyObject* value);

// The name of `value`'s type, as `type(value).__name__` gives it: "str", "float64".
[[nodiscard]] std::string type_name(PyObject* value);
// repr(value) as UTF-8.
[[nodiscard]] std::string repr_of(PyObject* value);
// TypeError "{expected}, not {type}".
boundary::PendingException wrong_type(std::string_view expected, PyObject* value);

// An int from anything with __index__ (NumPy's integers too) but a bool, which is never meant
// as a count or a seed: wrong_type(expected) for anything else.
[[nodiscard]] boundary::Outcome<boundary::PyRef> to_integer(PyObject* value,
                                                            std::string_view expected);
// Whether the int `integer` is below 0.
[[nodiscard]] bool is_negative(PyObject* integer);
// The int `integer`, 0 or more, as a u64; none at 2**64 and above.
[[nodiscard]] std::optional<std::uint64_t> within_u64(PyObject* integer);
// A flag the caller gives: True, False or a NumPy bool; TypeError "{name} must be a bool,
// not {type}" for anything else.
[[nodiscard]] boundary::Outcome<bool> to_flag(PyObject* value, const char* name);

// ValueError "unknown {what} '{name}'".
boundary::PendingException unknown_name(const char* what, std::string_view name);

// The value that `value` names in `names`, a table of {.name, .value}; unknown_name for a
// name not there.
template <class Value>
struct Named {
  const char* name;
  Value value;
};
template <class Value>
[[nodiscard]] boundary::Outcome<Value> named(PyObject* value, std::span<const Named<Value>> names,
                                             const char* what) {
  auto text = to_name(value);
  if (!text.ok()) return std::move(text.error());
  for (const Named<Value>& entry : names) {
    if (text.value() == entry.name) return entry.value;
  }
  return unknown_name(what, text.value());
}

// The names of `names` for which `keep` holds, quoted and listed as a message lists them:
// "'a', 'b' or 'c'".
template <class Value, class Keep>
[[nodiscard]] std::string one_of(std::span<const Named<Value>> names, Keep keep) {
  std::string listed;
  std::string last;
  for (const Named<Value>& entry : names) {
    if (!keep(entry.value)) continue;
    if (!last.empty()) listed += (listed.empty() ? "" : ", ") + last;
    last = std::string("'") + entry.name + "'";
  }
  return listed.empty() ? last : listed + " or " + last;
}

// The value that the str `value` names in `names`, for the parameter `parameter`: TypeError
// "{parameter} must be a str, not {type}", ValueError "{parameter} must be {one_of}, not
// {repr}".
template <class Value>
[[nodiscard]] boundary::Outcome<Value> choice(PyObject* value, std::span<const Named<Value>> names,
                                              const char* parameter) {
  if (!PyUnicode_Check(value)) return wrong_type(std::string(parameter) + " must be a str", value);
  auto text = to_name(value);
  if (!text.ok()) return std::move(text.error());
  for (const Named<Value>& entry : names) {
    if (text.value() == entry.name) return entry.value;
  }
  return boundary::PendingException::deferred(
      PyExc_ValueError, std::string(parameter) + " must be " +
                            one_of(names, [](const Value&) { return true; }) + ", not " +
                            repr_of(value));
}

}  // namespace vertisift::tools
