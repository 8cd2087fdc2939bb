#include "tools/ray_call.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "boundary/guard.h"
#include "boundary/released_lock.h"
#include "parallel/thread_pool.h"
#include "rays/triangle_bvh.h"
#include "rays/visibility.h"
#include "tools/buffer_view.h"
#include "tools/sample_call.h"

namespace vertisift::tools {
namespace {

using boundary::Outcome;
using boundary::PendingException;
using boundary::PyRef;

struct SceneObject {
  PyObject_HEAD rays::TriangleBvh* bvh;
};

struct RayFaults : ToolFaults {
  static constexpr const char* NO_MEMORY = "not enough memory for the ray tree";
};

PendingException type_error(std::string message) {
  return PendingException::deferred(PyExc_TypeError, std::move(message));
}

// The buffer `value` viewed as items of `code` (the struct module's), `width` of them per
// element: the element count, or the exception.
Outcome<std::size_t> view_items(PyObject* value, BufferView& view, const char* name, char code,
                                std::size_t width, bool writable) {
  const bool held = writable ? view.acquire_writable(value) : view.acquire(value);
  if (!held) return boundary::fetch_pending();
  const std::size_t item = code == '?' ? 1 : (code == 'q' ? 8 : 4);
  // An int64 is 'l' where long is 64 bits, as NumPy states it.
  const bool same = view.code() == code || (code == 'q' && view.code() == 'l');
  if (!same || view.item_bytes() != item || view.bytes() % (item * width) != 0) {
    return type_error(std::string(name) + " must be a C-contiguous buffer of '" + code +
                      "' items, " + std::to_string(width) + " per element");
  }
  return view.bytes() / (item * width);
}

Outcome<float> distance_of(PyObject* value, const char* name) {
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) return boundary::fetch_pending();
  if (std::isnan(number)) {
    return PendingException::deferred(PyExc_ValueError, std::string(name) + " must not be NaN");
  }
  return static_cast<float>(number);
}

rays::TriangleBvh& tree_of(PyObject* self) { return *reinterpret_cast<SceneObject*>(self)->bvh; }

PyObject* scene_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary::guard<RayFaults>([&]() -> Outcome<PyRef> {
    static const char* keywords[] = {"vertices", "faces", "morton", nullptr};
    PyObject* vertices = nullptr;
    PyObject* faces = nullptr;
    int morton = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|p:RayScene", const_cast<char**>(keywords),
                                     &vertices, &faces, &morton)) {
      return boundary::fetch_pending();
    }
    const rays::BuildQuality quality =
        morton != 0 ? rays::BuildQuality::Morton : rays::BuildQuality::Sah;
    BufferView vertex_view, face_view;
    auto vertex_count = view_items(vertices, vertex_view, "vertices", 'f', 3, false);
    if (!vertex_count.ok()) return std::move(vertex_count.error());
    auto face_count = view_items(faces, face_view, "faces", 'I', 3, false);
    if (!face_count.ok()) return std::move(face_count.error());
    const rays::TriangleMesh mesh{
        std::span<const base::Point3>(static_cast<const base::Point3*>(vertex_view.data()),
                                      vertex_count.value()),
        std::span<const std::uint32_t>(static_cast<const std::uint32_t*>(face_view.data()),
                                       3 * face_count.value())};
    for (const std::uint32_t index : mesh.corners) {
      if (index >= mesh.positions.size()) {
        return PendingException::deferred(
            PyExc_ValueError, "face index " + std::to_string(index) + " is not below the " +
                                  std::to_string(mesh.positions.size()) + " vertices");
      }
    }
    PyRef made = PyRef::steal(type->tp_alloc(type, 0));
    if (!made) return boundary::fetch_pending();
    bool interrupted = false;
    auto* tree = boundary::without_interpreter_lock(
        interrupted, [&] { return new rays::TriangleBvh(mesh, quality); });
    reinterpret_cast<SceneObject*>(made.get())->bvh = tree;
    if (interrupted) return boundary::fetch_pending();
    return made;
  });
}

void scene_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<SceneObject*>(self)->bvh;
  type->tp_free(self);
  Py_DECREF(type);
}

// The rays of a query: origins and directions of equal counts, and their distances.
struct RayArguments {
  BufferView origins, directions;
  std::size_t count = 0;
  float t_min = 0.0f, t_max = 0.0f;
};

Outcome<bool> read_rays(PyObject* const* args, RayArguments& into) {
  auto origins = view_items(args[0], into.origins, "origins", 'f', 3, false);
  if (!origins.ok()) return std::move(origins.error());
  auto directions = view_items(args[1], into.directions, "directions", 'f', 3, false);
  if (!directions.ok()) return std::move(directions.error());
  if (origins.value() != directions.value()) {
    return PendingException::deferred(PyExc_ValueError,
                                      "origins and directions must hold as many rays");
  }
  into.count = origins.value();
  auto t_min = distance_of(args[2], "t_min");
  if (!t_min.ok()) return std::move(t_min.error());
  auto t_max = distance_of(args[3], "t_max");
  if (!t_max.ok()) return std::move(t_max.error());
  into.t_min = t_min.value();
  into.t_max = t_max.value();
  return true;
}

rays::Ray ray_at(const RayArguments& rays_in, std::size_t i) {
  const auto* origins = static_cast<const base::Point3*>(rays_in.origins.data());
  const auto* directions = static_cast<const base::Point3*>(rays_in.directions.data());
  return {origins[i], directions[i], rays_in.t_min, rays_in.t_max};
}

Outcome<PyRef> count_error(const char* name) {
  return PendingException::deferred(PyExc_ValueError,
                                    std::string(name) + " must hold one item per ray");
}

PyObject* scene_cast(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return boundary::guard<RayFaults>([&]() -> Outcome<PyRef> {
    if (nargs != 7) return type_error("cast() takes 7 arguments");
    RayArguments rays_in;
    auto read = read_rays(args, rays_in);
    if (!read.ok()) return std::move(read.error());
    BufferView t_view, face_view, weight_view;
    auto t_count = view_items(args[4], t_view, "t", 'f', 1, true);
    if (!t_count.ok()) return std::move(t_count.error());
    auto face_count = view_items(args[5], face_view, "faces", 'q', 1, true);
    if (!face_count.ok()) return std::move(face_count.error());
    auto weight_count = view_items(args[6], weight_view, "weights", 'f', 3, true);
    if (!weight_count.ok()) return std::move(weight_count.error());
    if (t_count.value() != rays_in.count) return count_error("t");
    if (face_count.value() != rays_in.count) return count_error("faces");
    if (weight_count.value() != rays_in.count) return count_error("weights");
    auto* t = static_cast<float*>(t_view.writable_data());
    auto* faces = static_cast<std::int64_t*>(face_view.writable_data());
    auto* weights = static_cast<float*>(weight_view.writable_data());
    const rays::TriangleBvh& tree = tree_of(self);
    bool interrupted = false;
    boundary::without_interpreter_lock(interrupted, [&] {
      parallel::parallel_for(rays_in.count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          const rays::Hit hit = tree.closest(ray_at(rays_in, i));
          t[i] = hit.t;
          faces[i] = hit.face == rays::NO_FACE ? -1 : std::int64_t{hit.face};
          for (std::size_t k = 0; k < 3; ++k) weights[3 * i + k] = hit.w[k];
        }
      });
      return true;
    });
    if (interrupted) return boundary::fetch_pending();
    return PyRef::borrow(Py_None);
  });
}

PyObject* scene_occluded(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return boundary::guard<RayFaults>([&]() -> Outcome<PyRef> {
    if (nargs != 5) return type_error("occluded() takes 5 arguments");
    RayArguments rays_in;
    auto read = read_rays(args, rays_in);
    if (!read.ok()) return std::move(read.error());
    BufferView hit_view;
    auto hit_count = view_items(args[4], hit_view, "hits", '?', 1, true);
    if (!hit_count.ok()) return std::move(hit_count.error());
    if (hit_count.value() != rays_in.count) return count_error("hits");
    auto* hits = static_cast<bool*>(hit_view.writable_data());
    const rays::TriangleBvh& tree = tree_of(self);
    bool interrupted = false;
    boundary::without_interpreter_lock(interrupted, [&] {
      parallel::parallel_for(rays_in.count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) hits[i] = tree.occluded(ray_at(rays_in, i));
      });
      return true;
    });
    if (interrupted) return boundary::fetch_pending();
    return PyRef::borrow(Py_None);
  });
}

PyObject* size_getter(PyObject* self, void* which) {
  const rays::TriangleBvh& tree = tree_of(self);
  const auto what = reinterpret_cast<std::uintptr_t>(which);
  const std::size_t value =
      what == 0 ? tree.triangle_count() : (what == 1 ? tree.bytes() : tree.depth());
  return PyLong_FromSize_t(value);
}

PyMethodDef scene_methods[] = {
    {"cast", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scene_cast)), METH_FASTCALL,
     "cast(origins, directions, t_min, t_max, t, faces, weights)\n--\n\n"
     "The closest hit of each ray, written into t, faces and weights."},
    {"occluded", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scene_occluded)),
     METH_FASTCALL,
     "occluded(origins, directions, t_min, t_max, hits)\n--\n\n"
     "Whether each ray hits anything, written into hits."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef scene_getset[] = {
    {"triangle_count", size_getter, nullptr, "the triangles the tree holds",
     reinterpret_cast<void*>(std::uintptr_t{0})},
    {"nbytes", size_getter, nullptr, "the bytes the tree keeps",
     reinterpret_cast<void*>(std::uintptr_t{1})},
    {"depth", size_getter, nullptr, "the depth of the tree",
     reinterpret_cast<void*>(std::uintptr_t{2})},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot scene_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(scene_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scene_dealloc)},
    {Py_tp_methods, scene_methods},
    {Py_tp_getset, scene_getset},
    {Py_tp_doc, const_cast<char*>("A ray tree over a mesh's triangles; use "
                                  "vertisift_tools.RayScene.")},
    {0, nullptr},
};

PyType_Spec scene_spec = {
    .name = "vertisift_tools._native.RayScene",
    .basicsize = sizeof(SceneObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = scene_slots,
};

}  // namespace

PyObject* view_directions_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary::guard<RayFaults>([&]() -> Outcome<PyRef> {
    if (nargs != 1) return type_error("view_directions() takes 1 argument");
    const long long count = PyLong_AsLongLong(args[0]);
    if (count == -1 && PyErr_Occurred()) return boundary::fetch_pending();
    if (count < 1 || count > 4096) {
      return PendingException::deferred(PyExc_ValueError,
                                        "count must be in [1, 4096], not " + std::to_string(count));
    }
    const std::vector<base::Point3> directions =
        rays::view_directions(static_cast<std::size_t>(count));
    return boundary::checked(PyByteArray_FromStringAndSize(
        reinterpret_cast<const char*>(directions.data()),
        static_cast<Py_ssize_t>(directions.size() * sizeof(base::Point3))));
  });
}

PyObject* make_ray_scene_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &scene_spec, nullptr);
}

}  // namespace vertisift::tools
