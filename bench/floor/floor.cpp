// _garnel_floor: the cost of calling _garnel and converting its arguments,
// with no core work behind it.
//
// Same entry points as _garnel (plan and a Fleet class with the same seven
// methods and calling conventions), the same binding, access check and
// conversions from boundary.h, and a result of the same size: each call
// returns a fresh copy of a canned str or int that the benchmark sets to
// what the real call returns. Built only for bench/methods.py; ships in no
// wheel.
//
// plan_parsing, fleet_parsing and Fleet.observe_parsing are the same calls
// with one more step: the JSON library's parser runs over the JSON argument,
// building nothing. Against their plain twins they show what the library's
// own parse of that text costs, the least any reader of its events can add.

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "boundary.h"

namespace {

namespace boundary = garnel::boundary;
using boundary::Text;

// The canned results; set_result() fills them from the real module's answers.
struct Canned {
  std::string plan;
  std::string route;
  std::string report;
  std::string next_to_load;
  bool next_to_load_none = true;
  uint64_t free_bytes = 0;
  uint64_t committed_bytes = 0;
};
Canned canned;

// Only the borrow count and the mark of construction: a floor fleet holds
// nothing else.
struct FloorFleet {
  PyObject ob_base;
  int64_t borrow;
  bool built;
};

PyTypeObject* fleet_type = nullptr;

// The real module's type check and borrow count, so the floor pays for them
// too; they are part of every call, not core work.
using Access = garnel::boundary::Access<FloorFleet>;

PyObject* none() {
  Py_IncRef(Py_None);
  return Py_None;
}

// The library's parser over text, with nothing built from it.
bool parse(std::string_view text) {
  return nlohmann::json::accept(text.data(), text.data() + text.size());
}

// The three arguments plan() and Fleet() share, converted in their order;
// with parse_roster, the roster is also run through the library's parser.
bool card_arguments(const char* callable, PyObject* args, PyObject* kwargs,
                    bool parse_roster = false) {
  static constexpr std::array<const char*, 3> kNames = {"total_bytes", "reserve_pct",
                                                        "declared_json"};
  std::array<PyObject*, 3> bound;
  if (!boundary::bind(callable, kNames, args, kwargs, bound)) return false;
  const boundary::Ref held_reserve_pct = boundary::Ref::hold(bound[1]);
  const boundary::Ref held_declared_json = boundary::Ref::hold(bound[2]);
  uint64_t total_bytes = 0;
  uint8_t reserve_pct = 0;
  Text declared_json;
  if (!boundary::to_u64(bound[0], kNames[0], total_bytes) ||
      !boundary::to_u8(held_reserve_pct.get(), kNames[1], reserve_pct) ||
      !boundary::to_text(held_declared_json.get(), kNames[2], declared_json)) {
    return false;
  }
  if (parse_roster && !parse(declared_json.view)) {
    PyErr_SetString(PyExc_ValueError, "bad json");
    return false;
  }
  return true;
}

PyObject* plan_call(PyObject* args, PyObject* kwargs, bool parse_roster) {
  return boundary::guarded([&]() -> PyObject* {
    if (!card_arguments("plan()", args, kwargs, parse_roster)) return nullptr;
    return boundary::new_str(canned.plan);
  });
}

PyObject* floor_plan(PyObject*, PyObject* args, PyObject* kwargs) {
  return plan_call(args, kwargs, false);
}

PyObject* plan_parsing(PyObject*, PyObject* args, PyObject* kwargs) {
  return plan_call(args, kwargs, true);
}

PyObject* new_fleet(PyTypeObject* type, PyObject* args, PyObject* kwargs, bool parse_roster) {
  return boundary::guarded([&]() -> PyObject* {
    if (!card_arguments("Fleet.__new__()", args, kwargs, parse_roster)) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* object = alloc(type, 0);
    if (object == nullptr) return nullptr;
    reinterpret_cast<FloorFleet*>(object)->borrow = 0;
    reinterpret_cast<FloorFleet*>(object)->built = true;
    return object;
  });
}

PyObject* fleet_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return new_fleet(type, args, kwargs, false);
}

PyObject* fleet_parsing(PyObject*, PyObject* args, PyObject* kwargs) {
  return new_fleet(fleet_type, args, kwargs, true);
}

void fleet_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(object);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

PyObject* fleet_set_endpoint(PyObject* object, PyObject* args, PyObject* kwargs) {
  return boundary::guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 2> kNames = {"model", "endpoint"};
    std::array<PyObject*, 2> bound;
    if (!boundary::bind("Fleet.set_endpoint()", kNames, args, kwargs, bound)) return nullptr;
    Access access(fleet_type, "Fleet");
    if (!access.take(object, /*exclusive=*/true)) return nullptr;
    Text model, endpoint;
    if (!boundary::to_text(bound[0], kNames[0], model, access) ||
        !boundary::to_text(bound[1], kNames[1], endpoint, access)) {
      return nullptr;
    }
    return none();
  });
}

PyObject* observe_call(PyObject* object, PyObject* args, PyObject* kwargs, bool parse_detail) {
  return boundary::guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 4> kNames = {"model", "kind", "detail_json", "now"};
    std::array<PyObject*, 4> bound;
    if (!boundary::bind("Fleet.observe()", kNames, args, kwargs, bound)) return nullptr;
    Access access(fleet_type, "Fleet");
    if (!access.take(object, /*exclusive=*/true)) return nullptr;
    Text model, kind, detail_json;
    uint64_t now = 0;
    if (!boundary::to_text(bound[0], kNames[0], model, access) ||
        !boundary::to_text(bound[1], kNames[1], kind, access) ||
        !boundary::to_text(bound[2], kNames[2], detail_json, access) ||
        !boundary::to_u64(bound[3], kNames[3], now, access)) {
      return nullptr;
    }
    if (parse_detail && !parse(detail_json.view)) {
      access.give_back();
      PyErr_SetString(PyExc_ValueError, "bad json");
      return nullptr;
    }
    return none();
  });
}

PyObject* fleet_observe(PyObject* object, PyObject* args, PyObject* kwargs) {
  return observe_call(object, args, kwargs, false);
}

PyObject* fleet_observe_parsing(PyObject* object, PyObject* args, PyObject* kwargs) {
  return observe_call(object, args, kwargs, true);
}

PyObject* fleet_route(PyObject* object, PyObject* args, PyObject* kwargs) {
  return boundary::guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 2> kNames = {"model", "now"};
    std::array<PyObject*, 2> bound;
    if (!boundary::bind("Fleet.route()", kNames, args, kwargs, bound)) return nullptr;
    Access access(fleet_type, "Fleet");
    if (!access.take(object, /*exclusive=*/false)) return nullptr;
    Text model;
    uint64_t now = 0;
    if (!boundary::to_text(bound[0], kNames[0], model, access) ||
        !boundary::to_u64(bound[1], kNames[1], now, access)) {
      return nullptr;
    }
    return boundary::new_str(canned.route);
  });
}

PyObject* fleet_next_to_load(PyObject* object, PyObject*) {
  return boundary::guarded([&]() -> PyObject* {
    Access access(fleet_type, "Fleet");
    if (!access.take(object, /*exclusive=*/false)) return nullptr;
    if (canned.next_to_load_none) return none();
    return boundary::new_str(canned.next_to_load);
  });
}

PyObject* fleet_committed_bytes(PyObject* object, PyObject*) {
  return boundary::guarded([&]() -> PyObject* {
    Access access(fleet_type, "Fleet");
    if (!access.take(object, /*exclusive=*/false)) return nullptr;
    return PyLong_FromUnsignedLongLong(canned.committed_bytes);
  });
}

PyObject* fleet_free_bytes(PyObject* object, PyObject*) {
  return boundary::guarded([&]() -> PyObject* {
    Access access(fleet_type, "Fleet");
    if (!access.take(object, /*exclusive=*/false)) return nullptr;
    return PyLong_FromUnsignedLongLong(canned.free_bytes);
  });
}

PyObject* fleet_report(PyObject* object, PyObject* args, PyObject* kwargs) {
  return boundary::guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 1> kNames = {"now"};
    std::array<PyObject*, 1> bound;
    if (!boundary::bind("Fleet.report()", kNames, args, kwargs, bound)) return nullptr;
    Access access(fleet_type, "Fleet");
    if (!access.take(object, /*exclusive=*/false)) return nullptr;
    uint64_t now = 0;
    if (!boundary::to_u64(bound[0], kNames[0], now, access)) return nullptr;
    return boundary::new_str(canned.report);
  });
}

// set_result(name, value): what the floor's `name` returns from now on; a
// str for plan, route, report and next_to_load (or None for the latter), an
// int for free_bytes and committed_bytes.
PyObject* set_result(PyObject*, PyObject* args) {
  return boundary::guarded([&]() -> PyObject* {
    const char* name = nullptr;
    PyObject* value = nullptr;
    if (!PyArg_ParseTuple(args, "sO:set_result", &name, &value)) return nullptr;
    const std::string_view which(name);
    if (which == "free_bytes" || which == "committed_bytes") {
      uint64_t number = 0;
      if (!boundary::to_u64(value, "value", number)) return nullptr;
      (which == "free_bytes" ? canned.free_bytes : canned.committed_bytes) = number;
      return none();
    }
    if (which == "next_to_load" && value == Py_None) {
      canned.next_to_load_none = true;
      return none();
    }
    std::string* slot = which == "plan"           ? &canned.plan
                        : which == "route"        ? &canned.route
                        : which == "report"       ? &canned.report
                        : which == "next_to_load" ? &canned.next_to_load
                                                  : nullptr;
    if (slot == nullptr) {
      PyErr_Format(PyExc_ValueError, "no canned result named '%s'", name);
      return nullptr;
    }
    Text text;
    if (!boundary::to_text(value, "value", text)) return nullptr;
    slot->assign(text.view);
    if (which == "next_to_load") canned.next_to_load_none = false;
    return none();
  });
}

template <typename Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The real module's order and flags; the docstrings do not matter here.
PyMethodDef fleet_methods[] = {
    {"set_endpoint", as_cfunction(fleet_set_endpoint), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"observe", as_cfunction(fleet_observe), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"observe_parsing", as_cfunction(fleet_observe_parsing), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"route", as_cfunction(fleet_route), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"next_to_load", as_cfunction(fleet_next_to_load), METH_NOARGS, nullptr},
    {"committed_bytes", as_cfunction(fleet_committed_bytes), METH_NOARGS, nullptr},
    {"free_bytes", as_cfunction(fleet_free_bytes), METH_NOARGS, nullptr},
    {"report", as_cfunction(fleet_report), METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot fleet_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(fleet_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(fleet_dealloc)},
    {Py_tp_methods, fleet_methods},
    {0, nullptr},
};

PyType_Spec fleet_spec = {
    "_garnel_floor.Fleet", static_cast<int>(sizeof(FloorFleet)), 0, Py_TPFLAGS_DEFAULT, fleet_slots,
};

PyMethodDef module_functions[] = {
    {"plan", as_cfunction(floor_plan), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"plan_parsing", as_cfunction(plan_parsing), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"fleet_parsing", as_cfunction(fleet_parsing), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"set_result", set_result, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_garnel_floor",
    "",
    -1,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__garnel_floor(void) {
  PyObject* module = PyModule_Create(&module_definition);
  if (module == nullptr) return nullptr;
  if (fleet_type == nullptr) {
    fleet_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&fleet_spec));
    if (fleet_type == nullptr) {
      Py_DecRef(module);
      return nullptr;
    }
  }
  Py_IncRef(reinterpret_cast<PyObject*>(fleet_type));
  if (PyModule_AddObject(module, "Fleet", reinterpret_cast<PyObject*>(fleet_type)) < 0) {
    Py_DecRef(reinterpret_cast<PyObject*>(fleet_type));
    Py_DecRef(module);
    return nullptr;
  }
  return module;
}
