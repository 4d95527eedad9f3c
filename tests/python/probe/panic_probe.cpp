// A test-only extension that fails inside the module's boundary guard, so the
// tests can see what a host sees when an invariant breaks. Ships in no wheel.

#include <new>
#include <stdexcept>
#include <string>

#include "boundary.h"

namespace {

using garnel::boundary::guarded;

PyObject* fail_with(PyObject*, PyObject* message) {
  return guarded([&]() -> PyObject* {
    garnel::boundary::Text text;
    if (!garnel::boundary::to_text(message, "message", text)) return nullptr;
    throw std::runtime_error(std::string(text.view));
  });
}

PyObject* fail_silently(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { throw 42; });
}

PyObject* fail_out_of_memory(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { throw std::bad_alloc(); });
}

PyObject* panic_type(PyObject*, PyObject*) {
  PyObject* type = garnel::boundary::panic_exception_type();
  Py_IncRef(type);
  return type;
}

PyMethodDef probe_functions[] = {
    {"fail_with", fail_with, METH_O, "Throws a C++ exception carrying the message."},
    {"fail_silently", fail_silently, METH_NOARGS, "Throws something that is no std::exception."},
    {"fail_out_of_memory", fail_out_of_memory, METH_NOARGS, "Runs out of memory."},
    {"panic_type", panic_type, METH_NOARGS, "The PanicException class."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_definition = {
    PyModuleDef_HEAD_INIT,
    "_garnel_probe",
    "",
    -1,
    probe_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__garnel_probe(void) {
  return PyModule_Create(&probe_definition);
}
