// A strict JSON parser for the glTF reader: RFC 8259 text (UTF-8, an optional byte-order
// mark) into a tree of values, or a one-line error that names the byte where the text
// breaks the grammar.
//
// Design: a tree of plain values, parsed once and then walked by the reader, which checks
// every member it reads for its type and range (member(), index(), ...). Nesting is held to
// MAX_DEPTH, so a hostile file cannot exhaust the stack; numbers are parsed with
// std::from_chars (correctly rounded, no locale); a duplicate key keeps its first value, as
// the lookups stop at the first match. Strings are decoded (escapes, surrogate pairs) and
// must be valid UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace vertisift::gltf::json {

enum class Kind : std::uint8_t { Null, Boolean, Number, String, Array, Object };

struct Member;

struct Value {
  Kind kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string text;             // String
  std::vector<Value> items;     // Array
  std::vector<Member> members;  // Object, in the text's order

  // The member called `key` of an object, or null (also when this is no object).
  const Value* find(std::string_view key) const;
  bool is_object() const { return kind == Kind::Object; }
  bool is_array() const { return kind == Kind::Array; }
  bool is_number() const { return kind == Kind::Number; }
  bool is_string() const { return kind == Kind::String; }
  // The number as an integer when it is one exactly (no fraction, within ±2^53).
  std::optional<std::int64_t> integer() const;
};

struct Member {
  std::string key;
  Value value;
};

// How deep arrays and objects may nest.
inline constexpr std::size_t MAX_DEPTH = 128;

// The text parsed, or why not ("byte 17: a ',' or '}' expected").
base::Result<Value, std::string> parse(std::span<const std::byte> text);

}  // namespace vertisift::gltf::json
