// The URIs of a glTF file: data URIs in base64, and relative references, percent-encoded.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/pod_vector.h"
#include "base/result.h"

namespace vertisift::gltf {

// The bytes of "data:[<media type>][;base64],<data>", which must be base64 (padding optional,
// no blanks); or why not.
base::Result<base::PodVector<std::byte>, std::string> decode_data_uri(std::string_view uri);

// The media type of a data URI ("image/png"), empty when it names none.
std::string_view data_uri_type(std::string_view uri);

// A relative reference with its %XX escapes decoded (a '%' not followed by two hex digits
// stays as it is).
std::string percent_decoded(std::string_view uri);

}  // namespace vertisift::gltf
