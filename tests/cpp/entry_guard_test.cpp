// The entry guard's conversions, which no Python call can trigger: faults with and without a
// message, pending exceptions, and the panic exception type. The test embeds the interpreter.
#include "module/entry_guard.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "base/fault.h"

namespace vertisift::module {
namespace {

using boundary::describe_pending_error;
using boundary::text_of;
using boundary::type_name_of;

class EntryGuard : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!Py_IsInitialized()) Py_InitializeEx(0);
  }

  // Runs `body` through the guard and returns the raised exception (new reference).
  template <class Body>
  PyRef raised(Body&& body) {
    PyObject* result = entry_guard(body);
    EXPECT_EQ(result, nullptr);
    EXPECT_TRUE(PyErr_Occurred());
    return PyRef::steal(PyErr_GetRaisedException());
  }

  static std::string str(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    return PyUnicode_AsUTF8(text.get());
  }

  static std::string attribute(PyObject* object, const char* name) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(object, name));
    return value ? str(value.get()) : "<missing>";
  }
};

TEST_F(EntryGuard, ResultPassesThrough) {
  PyObject* result = entry_guard([] { return Outcome<PyRef>(PyRef::steal(PyLong_FromLong(7))); });
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(PyLong_AsLong(result), 7);
  Py_DECREF(result);
}

TEST_F(EntryGuard, FaultWithMessageBecomesPanicException) {
  PyRef error = raised([]() -> Outcome<PyRef> { throw base::InternalFault("index out of range"); });
  EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), panic_exception_type());
  EXPECT_EQ(str(error.get()), "index out of range");
  PyRef args = PyRef::steal(PyObject_GetAttrString(error.get(), "args"));
  ASSERT_TRUE(PyTuple_Check(args.get()));
  EXPECT_EQ(PyTuple_GET_SIZE(args.get()), 1);
}

TEST_F(EntryGuard, FaultWithoutMessage) {
  PyRef error = raised([]() -> Outcome<PyRef> { throw 42; });
  EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), panic_exception_type());
  EXPECT_EQ(str(error.get()), "panic from Rust code");
}

TEST_F(EntryGuard, WorkerFaultFromTheStandardLibrary) {
  PyRef error = raised([]() -> Outcome<PyRef> { throw std::out_of_range("vector::at"); });
  EXPECT_EQ(str(error.get()), "vector::at");
}

TEST_F(EntryGuard, AllocationFailureIsMemoryError) {
  PyRef error = raised([]() -> Outcome<PyRef> { throw std::bad_alloc(); });
  EXPECT_TRUE(PyErr_GivenExceptionMatches(error.get(), PyExc_MemoryError));
}

TEST_F(EntryGuard, DeferredAndFetchedExceptions) {
  PyRef deferred = raised(
      [] { return Outcome<PyRef>(PendingException::deferred(PyExc_ValueError, "bad value")); });
  EXPECT_TRUE(PyErr_GivenExceptionMatches(deferred.get(), PyExc_ValueError));
  EXPECT_EQ(str(deferred.get()), "bad value");

  PyRef fetched = raised([] {
    PyErr_SetString(PyExc_KeyError, "k");
    return Outcome<PyRef>(fetch_pending());
  });
  EXPECT_TRUE(PyErr_GivenExceptionMatches(fetched.get(), PyExc_KeyError));

  PyRef none_set = raised([] { return Outcome<PyRef>(fetch_pending()); });
  EXPECT_TRUE(PyErr_GivenExceptionMatches(none_set.get(), PyExc_SystemError));
  EXPECT_EQ(str(none_set.get()), "attempted to fetch exception but none was set");

  PyRef not_a_class =
      raised([] { return Outcome<PyRef>(PendingException::deferred(Py_None, "ignored")); });
  EXPECT_TRUE(PyErr_GivenExceptionMatches(not_a_class.get(), PyExc_TypeError));
  EXPECT_EQ(str(not_a_class.get()), "exceptions must derive from BaseException");
}

TEST_F(EntryGuard, PanicExceptionComingBackResumesAsFault) {
  PyRef error = raised([] {
    PyErr_SetString(panic_exception_type(), "inner fault");
    return Outcome<PyRef>(fetch_pending());
  });
  EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), panic_exception_type());
  EXPECT_EQ(str(error.get()), "inner fault");
}

TEST_F(EntryGuard, PanicExceptionType) {
  PyObject* type = panic_exception_type();
  EXPECT_EQ(type, panic_exception_type());  // made once
  EXPECT_EQ(attribute(type, "__name__"), "PanicException");
  EXPECT_EQ(attribute(type, "__module__"), "pyo3_runtime");
  EXPECT_EQ(attribute(type, "__doc__"),
            "\nThe exception raised when Rust code called from Python panics.\n\n"
            "Like SystemExit, this exception is derived from BaseException so that\n"
            "it will typically propagate all the way through the stack and cause the\n"
            "Python interpreter to exit.\n");
  PyRef bases = PyRef::steal(PyObject_GetAttrString(type, "__bases__"));
  ASSERT_EQ(PyTuple_GET_SIZE(bases.get()), 1);
  EXPECT_EQ(PyTuple_GET_ITEM(bases.get(), 0), PyExc_BaseException);
  EXPECT_FALSE(PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type),
                                reinterpret_cast<PyTypeObject*>(PyExc_Exception)));
}

TEST_F(EntryGuard, TypeNamesAndPendingErrorTexts) {
  PyRef list = PyRef::steal(PyList_New(0));
  EXPECT_EQ(type_name_of(list.get()), "list");
  EXPECT_EQ(text_of(list.get()), "[]");
  // What a fault message adds about the error that made it: the error as Python prints it,
  // which it takes (no error stays set).
  PyErr_SetString(PyExc_ValueError, "bad value");
  EXPECT_EQ(describe_pending_error(), "ValueError: bad value\n");
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_EQ(describe_pending_error(), "<no exception set>");
}

}  // namespace
}  // namespace vertisift::module
