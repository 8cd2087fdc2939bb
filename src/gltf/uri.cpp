#include "gltf/uri.h"

#include <cstdint>

namespace vertisift::gltf {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+' || c == '-') return 62;  // the URL-safe alphabet as well
  if (c == '/' || c == '_') return 63;
  return -1;
}

}  // namespace

std::string_view data_uri_type(std::string_view uri) {
  if (!uri.starts_with("data:")) return {};
  uri.remove_prefix(5);
  return uri.substr(0, uri.find_first_of(";,"));
}

base::Result<base::PodVector<std::byte>, std::string> decode_data_uri(std::string_view uri) {
  const std::size_t comma = uri.find(',');
  if (!uri.starts_with("data:") || comma == std::string_view::npos) {
    return std::string("a data URI without its ','");
  }
  if (!uri.substr(0, comma).ends_with(";base64")) return std::string("a data URI not in base64");
  std::string_view text = uri.substr(comma + 1);
  while (text.ends_with('=')) text.remove_suffix(1);
  if (text.size() % 4 == 1) return std::string("a data URI whose base64 is cut short");
  base::PodVector<std::byte> bytes;
  bytes.reserve(text.size() / 4 * 3 + 2);
  std::uint32_t bits = 0;
  int held = 0;
  for (const char c : text) {
    const int value = base64_value(c);
    if (value < 0) return std::string("a data URI with a character that is not base64");
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      bytes.push_back(static_cast<std::byte>((bits >> held) & 0xff));
    }
  }
  return bytes;
}

std::string percent_decoded(std::string_view uri) {
  std::string out;
  out.reserve(uri.size());
  for (std::size_t i = 0; i < uri.size(); ++i) {
    if (uri[i] == '%' && i + 2 < uri.size()) {
      const int high = hex_value(uri[i + 1]);
      const int low = hex_value(uri[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    out.push_back(uri[i]);
  }
  return out;
}

}  // namespace vertisift::gltf
