// What every entry point of the extension needs at the interpreter boundary:
// owned references, argument binding with the module's messages, argument
// conversion, and the guard that turns any internal failure into a
// PanicException instead of letting a C++ exception unwind into CPython.
//
// Header-only so that a test-only probe module can exercise the same guard.

#ifndef GARNEL_MODULE_BOUNDARY_H_
#define GARNEL_MODULE_BOUNDARY_H_

// The 3.9 stable ABI: one abi3 build serves CPython 3.9 and every later one.
#if defined(Py_LIMITED_API) && Py_LIMITED_API != 0x03090000
#error "garnel is built against the 3.9 limited API only"
#endif
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03090000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace garnel::boundary {

// An owned reference, released when it goes out of scope.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (which may be null).
  explicit Ref(PyObject* owned) : object_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() {
    if (object_ != nullptr) Py_DecRef(object_);
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }
  // A reference of its own to a borrowed object.
  static Ref hold(PyObject* borrowed) {
    Py_IncRef(borrowed);
    return Ref(borrowed);
  }

 private:
  PyObject* object_ = nullptr;
};

// Raises `type` with a message that may hold any valid UTF-8, NUL included.
inline void raise(PyObject* type, std::string_view message) {
  Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(type, text.get());
}

// What the module looks up or creates once and keeps while the interpreter
// runs. Each is made on first use and kept only once it was made, so a
// failed first import (out of memory, say) leaves nothing behind that a
// later import would trust; forget() drops them all when the interpreter is
// finalised, for an embedding host that initialises it again.
struct Cached {
  PyObject* panic_type = nullptr;
  PyObject* type_name_getter = nullptr;
};
inline Cached cached;

// Forgets the cached objects without touching them: they belonged to an
// interpreter that is gone.
inline void forget_cached() noexcept {
  cached = Cached{};
}

// The class every internal failure is raised as. Derived from BaseException
// so that a broken invariant is not swallowed by a host's `except Exception`.
// Null with the error set if it could not be created.
inline PyObject* panic_exception_type() {
  if (cached.panic_type == nullptr) {
    cached.panic_type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "Raised when garnel finds one of its own invariants broken; not meant to be caught.",
        PyExc_BaseException, nullptr);
  }
  return cached.panic_type;
}

// Raises a PanicException. Failing to do even that leaves nothing sound to
// return to, so the process ends.
inline void raise_panic(const char* what) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  const char* message =
      what != nullptr && *what != '\0' ? what : "an internal failure carried no message";
  PyErr_Clear();
  // Messages of C++ exceptions need not be UTF-8; keep them readable anyway.
  Ref text(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::string_view(message).size()),
                                "replace"));
  if (!text) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyErr_SetObject(type, text.get());
}

// Ends the process when the core cannot get memory. garnel's promise is
// that exhausted memory is never reported as an error: a fleet that could not
// copy a name or an endpoint is not one a host can go on with.
[[noreturn]] inline void out_of_memory() noexcept {
  std::fputs("garnel: out of memory\n", stderr);
  std::abort();
}

// Runs an entry point's body. Nothing thrown inside escapes into the
// interpreter: running out of memory ends the process, anything else becomes
// a PanicException with the failure's message.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    out_of_memory();
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
  } catch (...) {
    raise_panic(nullptr);
  }
  return nullptr;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
template <size_t N>
std::string quoted_list(const std::array<const char*, N>& names, const std::array<bool, N>& pick) {
  size_t total = 0;
  for (bool p : pick)
    total += p ? 1 : 0;
  std::string out;
  size_t written = 0;
  for (size_t i = 0; i < N; ++i) {
    if (!pick[i]) continue;
    if (written > 0) {
      if (total > 2) out += ",";
      out += written + 1 == total ? " and " : " ";
    }
    out += "'";
    out += names[i];
    out += "'";
    ++written;
  }
  return out;
}

// Binds a call's positional tuple and keyword dictionary to the required
// parameters `names`, in that order. `callable` is the full name used in the
// messages ("plan()", "Fleet.route()"). On success every slot of `bound`
// holds a borrowed reference; otherwise a TypeError is set.
// A borrowed argument can die while an earlier one is converted: an
// __index__ may clear the keyword dictionary that held it. A caller whose
// integer parameter comes before another holds the later ones (Ref::hold)
// until they are converted.
template <size_t N>
bool bind(const char* callable, const std::array<const char*, N>& names, PyObject* args,
          PyObject* kwargs, std::array<PyObject*, N>& bound) {
  bound.fill(nullptr);
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return false;
  if (static_cast<size_t>(given) > N) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", callable, N,
                 given, given == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i)
    bound[static_cast<size_t>(i)] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      size_t index = N;
      for (size_t i = 0; i < N && PyUnicode_Check(key); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
          index = i;
          break;
        }
      }
      if (index == N) {
        Ref message(
            PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'", callable, key));
        if (message) PyErr_SetObject(PyExc_TypeError, message.get());
        return false;
      }
      if (bound[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", callable,
                     names[index]);
        return false;
      }
      bound[index] = value;
    }
  }
  std::array<bool, N> missing{};
  size_t missing_count = 0;
  for (size_t i = 0; i < N; ++i) {
    missing[i] = bound[i] == nullptr;
    missing_count += missing[i] ? 1 : 0;
  }
  if (missing_count > 0) {
    const std::string list = quoted_list(names, missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", callable,
                 missing_count, missing_count == 1 ? "" : "s", list.c_str());
    return false;
  }
  return true;
}

// When the pending error is a TypeError itself (not a subclass), replaces it
// with "argument '{name}': {its text}", keeping its cause and traceback.
inline void prefix_type_error(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref old_type(type), old_value(value), old_traceback(traceback);
  Ref text(old_value ? PyObject_Str(old_value.get()) : nullptr);
  if (!text) return;  // the failure to read it is the error now
  Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;
  // Setting a null cause would also mark the context suppressed; leave it.
  if (PyObject* cause = PyException_GetCause(old_value.get())) {
    PyException_SetCause(replacement.get(), cause);
  }
  if (old_traceback) PyException_SetTraceback(replacement.get(), old_traceback.get());
  Py_IncRef(PyExc_TypeError);
  PyErr_Restore(PyExc_TypeError, replacement.release(), old_traceback.release());
}

// type's own __name__ getter, type.__dict__["__name__"].__get__, looked up
// once when the module is created. Reading a type's name through it runs no
// metaclass code, and the refusal of an argument costs one call. Null with
// the error set if the lookup failed.
inline PyObject* type_name_getter() {
  if (cached.type_name_getter == nullptr) {
    Ref attributes(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyType_Type), "__dict__"));
    if (!attributes) return nullptr;
    Ref descriptor(PyMapping_GetItemString(attributes.get(), "__name__"));
    if (!descriptor) return nullptr;
    cached.type_name_getter = PyObject_GetAttrString(descriptor.get(), "__get__");
  }
  return cached.type_name_getter;
}

// The name of object's type, so that the refusal of an argument runs no
// interpreter code. Null with the error set on failure.
inline Ref type_name(PyObject* object) {
  PyObject* getter = type_name_getter();
  if (getter == nullptr) return Ref();
  return Ref(
      PyObject_CallFunctionObjArgs(getter, reinterpret_cast<PyObject*>(Py_TYPE(object)), nullptr));
}

// What a conversion gives back before it builds a refusal: the use of a
// fleet, for a method's call (Access), or nothing (Unheld). Building the
// message allocates, a collection may then run a __del__ that calls the same
// fleet, and that call must find it free.
struct Unheld {
  void give_back() {}
};

// An int as is, anything else through its __index__. Gives a new reference,
// or null with the (prefixed) error set.
template <typename Held>
Ref as_int(PyObject* object, const char* name, Held& held) {
  if (PyLong_Check(object)) return Ref::hold(object);
  Ref index(PyNumber_Index(object));
  if (!index) {
    held.give_back();
    prefix_type_error(name);
  }
  return index;
}

// An unsigned 64-bit argument; the interpreter's OverflowError outside it.
template <typename Held>
bool to_u64(PyObject* object, const char* name, uint64_t& out, Held& held) {
  const Ref number = as_int(object, name, held);
  if (!number) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    held.give_back();
    prefix_type_error(name);
    return false;
  }
  out = value;
  return true;
}

inline bool to_u64(PyObject* object, const char* name, uint64_t& out) {
  Unheld unheld;
  return to_u64(object, name, out, unheld);
}

// An unsigned 8-bit argument: read as a C long first (whose own
// OverflowError stands: "Python int too large to convert to C long"), then
// held to 0..255.
inline bool to_u8(PyObject* object, const char* name, uint8_t& out) {
  Unheld unheld;
  const Ref number = as_int(object, name, unheld);
  if (!number) return false;
  const long value = PyLong_AsLong(number.get());
  if (value == -1 && PyErr_Occurred() != nullptr) {
    prefix_type_error(name);
    return false;
  }
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<uint8_t>(value);
  return true;
}

// A str argument's UTF-8 bytes. The view stays valid while the Text lives.
struct Text {
  Ref bytes;
  std::string_view view;
};

// Converts a str (or subclass) to UTF-8; refuses anything else with
// "argument '{name}': '{type}' object cannot be converted to 'PyString'".
// A lone surrogate raises the interpreter's UnicodeEncodeError unchanged.
template <typename Held>
bool to_text(PyObject* object, const char* name, Text& out, Held& held) {
  if (!PyUnicode_Check(object)) {
    held.give_back();
    const Ref type(type_name(object));
    if (!type) return false;
    Ref message(PyUnicode_FromFormat("argument '%s': '%S' object cannot be converted to 'PyString'",
                                     name, type.get()));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return false;
  }
  Ref bytes(PyUnicode_AsUTF8String(object));
  if (!bytes) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return false;
  out.view = std::string_view(data, static_cast<size_t>(size));
  out.bytes = std::move(bytes);
  return true;
}

inline bool to_text(PyObject* object, const char* name, Text& out) {
  Unheld unheld;
  return to_text(object, name, out, unheld);
}

// One call's use of an object that carries a borrow count (0: free; n > 0:
// n calls share it; -1: one call holds it alone), given back on every path.
// Interpreter code run by an __index__ conversion can call back into the
// same object; the count makes a conflicting call fail at once instead of
// seeing the object half-changed. The interpreter lock serialises the count.
// REQUIRES: Object starts with its PyObject header and has `int64_t borrow`
// and `bool built`, which its constructor sets last: the type is mutable, so
// an instance can be made without it (Fleet.__new__ replaced), zeroed.
template <typename Object>
class Access {
 public:
  // Use of instances of `type`, called `class_name` in the refusal.
  Access(PyTypeObject* type, const char* class_name) : type_(type), class_name_(class_name) {}
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;
  ~Access() { give_back(); }

  // Ends the use early, before a refusal is built; the destructor then has
  // nothing left to give back.
  void give_back() {
    if (self_ == nullptr) return;
    if (exclusive_) {
      self_->borrow = 0;
    } else {
      --self_->borrow;
    }
    self_ = nullptr;
  }

  // Checks that `object` is an instance of the type and takes shared
  // (queries) or exclusive (changes) use of it; false with the error set.
  bool take(PyObject* object, bool exclusive) {
    if (!PyType_IsSubtype(Py_TYPE(object), type_)) {
      const Ref name(type_name(object));
      if (name) {
        PyErr_Format(PyExc_TypeError, "'%S' object cannot be converted to '%s'", name.get(),
                     class_name_);
      }
      return false;
    }
    Object* self = reinterpret_cast<Object*>(object);
    if (!self->built) {
      PyErr_Format(PyExc_TypeError, "this %s was not built by %s(): it has no card to answer for",
                   class_name_, class_name_);
      return false;
    }
    if (exclusive) {
      if (self->borrow != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return false;
      }
      self->borrow = -1;
    } else {
      if (self->borrow == -1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
      }
      ++self->borrow;
    }
    self_ = self;
    exclusive_ = exclusive;
    return true;
  }

  // REQUIRES: take() succeeded and the use was not given back.
  const Object& shared() const { return *self_; }
  // REQUIRES: take(object, /*exclusive=*/true) succeeded, not given back.
  Object& exclusive() { return *self_; }

 private:
  PyTypeObject* type_;
  const char* class_name_;
  Object* self_ = nullptr;
  bool exclusive_ = false;
};

// A new str from UTF-8 text.
inline PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace garnel::boundary

#endif  // GARNEL_MODULE_BOUNDARY_H_
