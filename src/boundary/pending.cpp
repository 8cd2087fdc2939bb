#include "boundary/pending.h"

#include "base/fault.h"
#include "base/utf8.h"

namespace vertisift::boundary {
namespace {

PyObject* fault_type = nullptr;  // see set_fault_exception_type

// UTF-8 of a str, with every character UTF-8 cannot encode (lone surrogates) as U+FFFD.
std::string lossy_utf8(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  std::string out;
  const Py_ssize_t length = PyUnicode_GetLength(text);
  for (Py_ssize_t i = 0; i < length; ++i) {
    Py_UCS4 c = PyUnicode_ReadChar(text, i);
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    base::append_utf8(out, c);
  }
  return out;
}

}  // namespace

std::string describe_pending_error() {
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  if (!exception) return "<no exception set>";
  std::string text = type_name_of(exception.get()) + ": " + text_of(exception.get());
  PyRef traceback_module = PyRef::steal(PyImport_ImportModule("traceback"));
  if (traceback_module) {
    PyRef lines = PyRef::steal(
        PyObject_CallMethod(traceback_module.get(), "format_exception", "O", exception.get()));
    if (lines) {
      PyRef empty = PyRef::steal(PyUnicode_FromString(""));
      PyRef joined = empty ? PyRef::steal(PyUnicode_Join(empty.get(), lines.get())) : PyRef();
      if (joined) text = lossy_utf8(joined.get());
    }
  }
  PyErr_Clear();
  return text;
}

void PendingException::raise() {
  if (auto* fetched = std::get_if<Fetched>(&state_)) {
    PyErr_SetRaisedException(fetched->exception.release());
    return;
  }
  auto& deferred = std::get<Deferred>(state_);
  PyRef argument = checked(PyUnicode_FromStringAndSize(
      deferred.message.data(), static_cast<Py_ssize_t>(deferred.message.size())));
  if (PyType_Check(deferred.type) &&
      PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(deferred.type),
                       reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
    PyErr_SetObject(deferred.type, argument.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}

PyObject* PendingException::type() const {
  if (const auto* fetched = std::get_if<Fetched>(&state_)) {
    return reinterpret_cast<PyObject*>(Py_TYPE(fetched->exception.get()));
  }
  return std::get<Deferred>(state_).type;
}

PyObject* PendingException::object() const {
  if (const auto* fetched = std::get_if<Fetched>(&state_)) return fetched->exception.get();
  return nullptr;
}

std::string PendingException::text() {
  if (const auto* fetched = std::get_if<Fetched>(&state_)) {
    return text_of(fetched->exception.get());
  }
  return std::get<Deferred>(state_).message;
}

void set_fault_exception_type(PyObject* type) { fault_type = type; }

PendingException fetch_pending() {
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  if (!exception) {
    return PendingException::deferred(PyExc_SystemError,
                                      "attempted to fetch exception but none was set");
  }
  if (fault_type != nullptr &&
      PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(fault_type))) {
    // An internal fault that went out to Python and came back: resume it as a fault. The
    // texts are fixed by compatibility with the extension's earlier builds (the one module
    // with a fault type): they must stay exactly so.
    std::string message = "Unwrapped panic from Python code";
    if (PyRef text = PyRef::steal(PyObject_Str(exception.get()))) {
      if (const char* utf8 = PyUnicode_AsUTF8(text.get())) message = utf8;
    }
    PyErr_Clear();
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n",
               stderr);
    std::fputs("Python stack trace below:\n", stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    throw base::InternalFault(message);
  }
  return PendingException::fetched(std::move(exception));
}

PyRef checked(PyObject* object) {
  if (object != nullptr) return PyRef::steal(object);
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  PyErr_Print();
  base::raise_fault("Python API call failed");
}

std::string type_name_of(PyObject* object, TypeNaming naming) {
  PyTypeObject* type = Py_TYPE(object);
  PyRef name = PyRef::steal(naming == TypeNaming::Qualified ? PyType_GetQualName(type)
                                                            : PyType_GetName(type));
  if (name) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      return std::string(utf8, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

std::string text_of(PyObject* object) {
  PyRef text = PyRef::steal(PyObject_Str(object));
  if (text) return lossy_utf8(text.get());
  PyErr_WriteUnraisable(object);
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (name) {
    if (const char* utf8 = PyUnicode_AsUTF8(name.get())) {
      return std::string("<unprintable ") + utf8 + " object>";
    }
  }
  PyErr_Clear();
  return "<unprintable object>";
}

PendingException conversion_error(PyObject* object, const char* target) {
  std::string message = "'";
  message.append(type_name_of(object)).append("' object cannot be converted to '");
  message.append(target).append("'");
  return PendingException::deferred(PyExc_TypeError, std::move(message));
}

}  // namespace vertisift::boundary
