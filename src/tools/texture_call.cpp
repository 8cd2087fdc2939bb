#include "tools/texture_call.h"

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "boundary/guard.h"
#include "boundary/released_lock.h"
#include "sample/texture_lookup.h"
#include "tools/arguments.h"
#include "tools/buffer_view.h"
#include "tools/sample_call.h"

namespace vertisift::tools {
namespace {

using boundary::Outcome;
using boundary::PyRef;

// The structures of the Arrow C data interface, a stable ABI: an image that exports itself
// (__arrow_c_array__) lends its texels through them without a copy.
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  std::int64_t flags;
  std::int64_t n_children;
  ArrowSchema** children;
  ArrowSchema* dictionary;
  void (*release)(ArrowSchema*);
  void* private_data;
};
struct ArrowArray {
  std::int64_t length;
  std::int64_t null_count;
  std::int64_t offset;
  std::int64_t n_buffers;
  std::int64_t n_children;
  const void** buffers;
  ArrowArray** children;
  ArrowArray* dictionary;
  void (*release)(ArrowArray*);
  void* private_data;
};

struct TextureArguments {
  BufferView colors, points, uvs, texels;
  // Set when the texels come as an Arrow array of uint8 components, `arrow_stride` a texel.
  const void* arrow_data = nullptr;
  std::uint64_t arrow_components = 0;
  std::size_t arrow_stride = 0;
  std::uint64_t width = 0, height = 0;
  std::size_t channels = 3;
  bool floats = false;
  mesh_io::Wrap wrap_u = mesh_io::Wrap::Repeat;
  mesh_io::Wrap wrap_v = mesh_io::Wrap::Repeat;
};

Conversion acquired(bool held) {
  if (!held) return boundary::fetch_pending();
  return Converted{};
}

// An Arrow array of uint8 ("C") texels, one component a texel (grey), or a fixed-size list of
// four ("+w:4" of "C", as RGBX and RGBA images export themselves), whole and without nulls.
Conversion convert_arrow(PyObject* schema_capsule, PyObject* array_capsule,
                         TextureArguments& into) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule, "arrow_schema"));
  if (schema == nullptr) return boundary::fetch_pending();
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule, "arrow_array"));
  if (array == nullptr) return boundary::fetch_pending();
  const std::string_view format = schema->format == nullptr ? "" : schema->format;
  const ArrowArray* components = array;
  into.arrow_stride = 1;
  if (format == "+w:4" && schema->n_children == 1 && array->n_children == 1 &&
      std::string_view(schema->children[0]->format) == "C") {
    components = array->children[0];
    into.arrow_stride = 4;
  } else if (format != "C") {
    return value_error("multiply_texture: texels of an Arrow format other than uint8");
  }
  if (array->offset != 0 || array->null_count != 0 || components->offset != 0 ||
      components->null_count != 0 || components->n_buffers != 2 ||
      components->buffers[1] == nullptr || components->length < 0) {
    return value_error("multiply_texture: an Arrow array that is not whole");
  }
  into.arrow_data = components->buffers[1];
  into.arrow_components = static_cast<std::uint64_t>(components->length);
  return Converted{};
}

Conversion convert_texels(PyObject* value, TextureArguments& into) {
  if (PyTuple_Check(value) && PyTuple_GET_SIZE(value) == 2 &&
      PyCapsule_CheckExact(PyTuple_GET_ITEM(value, 0)) &&
      PyCapsule_CheckExact(PyTuple_GET_ITEM(value, 1))) {
    return convert_arrow(PyTuple_GET_ITEM(value, 0), PyTuple_GET_ITEM(value, 1), into);
  }
  return acquired(into.texels.acquire(value));
}

Conversion convert_size(PyObject* value, std::uint64_t& into) {
  auto number = to_integer(value, "width and height must be ints");
  if (!number.ok()) return std::move(number.error());
  const std::optional<std::uint64_t> size =
      is_negative(number.value().get()) ? std::nullopt : within_u64(number.value().get());
  if (!size || *size == 0) return value_error("a texture's width and height must be 1 or more");
  into = *size;
  return Converted{};
}

// "repeat", "clamp" (to the edge) or "mirror" (mirrored repeat).
Conversion convert_wrap(PyObject* value, mesh_io::Wrap& into) {
  const char* text = PyUnicode_Check(value) ? PyUnicode_AsUTF8(value) : nullptr;
  if (text == nullptr) PyErr_Clear();
  const std::string_view name = text != nullptr ? text : "";
  if (name == "repeat") {
    into = mesh_io::Wrap::Repeat;
  } else if (name == "clamp") {
    into = mesh_io::Wrap::ClampToEdge;
  } else if (name == "mirror") {
    into = mesh_io::Wrap::MirroredRepeat;
  } else {
    return value_error("wrap_u and wrap_v must be \"repeat\", \"clamp\" or \"mirror\"");
  }
  return Converted{};
}

constexpr Parameter<TextureArguments> TEXTURE_PARAMETERS[] = {
    {.name = "colors",
     .convert =
         [](PyObject* value, TextureArguments& into) {
           return acquired(into.colors.acquire_writable(value));
         }},
    {.name = "points",
     .convert = [](PyObject* value,
                   TextureArguments& into) { return acquired(into.points.acquire(value)); }},
    {.name = "uvs",
     .convert = [](PyObject* value,
                   TextureArguments& into) { return acquired(into.uvs.acquire(value)); }},
    {.name = "texels", .convert = convert_texels},
    {.name = "width",
     .convert = [](PyObject* value,
                   TextureArguments& into) { return convert_size(value, into.width); }},
    {.name = "height",
     .convert = [](PyObject* value,
                   TextureArguments& into) { return convert_size(value, into.height); }},
    {.name = "channels",
     .convert = [](PyObject* value, TextureArguments& into) -> Conversion {
       auto number = to_integer(value, "channels must be an int");
       if (!number.ok()) return std::move(number.error());
       const std::optional<std::uint64_t> channels = within_u64(number.value().get());
       if (!channels || (*channels != 1 && *channels != 3 && *channels != 4)) {
         return value_error("channels must be 1, 3 or 4");
       }
       into.channels = static_cast<std::size_t>(*channels);
       return Converted{};
     }},
    {.name = "floats",
     .convert = [](PyObject* value,
                   TextureArguments& into) { return store(to_bool(value), into.floats); }},
    {.name = "wrap_u",
     .convert = [](PyObject* value,
                   TextureArguments& into) { return convert_wrap(value, into.wrap_u); }},
    {.name = "wrap_v",
     .convert = [](PyObject* value,
                   TextureArguments& into) { return convert_wrap(value, into.wrap_v); }},
};
constexpr Signature<TextureArguments> TEXTURE_SIGNATURE = {
    .function = "multiply_texture",
    .positional = 4,
    .parameters = TEXTURE_PARAMETERS,
};

Outcome<PyRef> multiply_texture(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TextureArguments arguments;
  Conversion bound = bind(TEXTURE_SIGNATURE, args, nargs, kwnames, arguments);
  if (!bound.ok()) return std::move(bound.error());
  const std::size_t count = arguments.points.bytes() / sizeof(std::uint64_t);
  const std::size_t colors = arguments.colors.bytes() / sizeof(base::Point3);
  const bool arrow = arguments.arrow_data != nullptr;
  const std::size_t stride = arrow ? arguments.arrow_stride : arguments.channels;
  const std::size_t component_bytes = arguments.floats && !arrow ? sizeof(float) : 1;
  const std::uint64_t held =
      arrow ? arguments.arrow_components : arguments.texels.bytes() / component_bytes;
  const std::uint64_t width = arguments.width, height = arguments.height;
  if (arguments.points.bytes() % sizeof(std::uint64_t) != 0 ||
      arguments.colors.bytes() % sizeof(base::Point3) != 0 ||
      arguments.uvs.bytes() != count * 2 * sizeof(float) || width > held || height > held ||
      held != width * height * stride ||
      (!arrow && arguments.texels.bytes() % component_bytes != 0)) {
    return value_error("multiply_texture: buffers that do not fit one another");
  }
  const std::span<const std::uint64_t> points(
      static_cast<const std::uint64_t*>(arguments.points.data()), count);
  const std::span<const float> uvs(static_cast<const float*>(arguments.uvs.data()), 2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    if (points[i] >= colors || !std::isfinite(uvs[2 * i]) || !std::isfinite(uvs[2 * i + 1])) {
      return value_error("multiply_texture: a point past the colours or a coordinate not finite");
    }
  }
  const sample::Texels texels{.data = arrow ? arguments.arrow_data : arguments.texels.data(),
                              .width = static_cast<std::size_t>(width),
                              .height = static_cast<std::size_t>(height),
                              .stride = stride,
                              .floats = arguments.floats && !arrow,
                              .wrap_u = arguments.wrap_u,
                              .wrap_v = arguments.wrap_v};
  const std::span<base::Point3> into(static_cast<base::Point3*>(arguments.colors.writable_data()),
                                     colors);
  bool interrupted = false;
  boundary::without_interpreter_lock(interrupted, [&] {
    sample::multiply_by_texture(texels, points, uvs, into);
    return 0;
  });
  if (interrupted) return boundary::fetch_pending();
  return PyRef::borrow(Py_None);
}

}  // namespace

PyObject* multiply_texture_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return boundary::guard<SampleMeshFaults>([&] { return multiply_texture(args, nargs, kwnames); });
}

}  // namespace vertisift::tools
