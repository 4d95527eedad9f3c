// The extension module _garnel: the core's face to a Python host.
//
// Each entry point binds its arguments, converts them, calls one core
// operation and turns the answer into a str, an int or None. Every failure
// becomes the interpreter exception the module documents; no C++ exception
// crosses into the interpreter (see boundary.h).

#include "boundary.h"

// The build passes the version from pyproject.toml, where it is written once.
#ifndef GARNEL_VERSION
#error "GARNEL_VERSION is not defined"
#endif

#include <algorithm>
#include <charconv>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "budget.h"
#include "escaped_code_points.h"
#include "fleet.h"
#include "json_text.h"
#include "residency.h"

namespace garnel {
namespace {

using boundary::Ref;
using boundary::Text;

// The roster in text, read from the parser's events with no value tree, or
// null with ValueError set: "bad json: ..." for a text that is not JSON,
// which comes before any complaint about the roster, else "could not read
// the roster: " and every bad entry's complaint, joined by "; ".
std::optional<Roster> roster_from(std::string_view text) {
  auto read = read_roster(text);
  if (auto* roster = std::get_if<Roster>(&read)) return std::move(*roster);
  if (auto* fault = std::get_if<JsonFault>(&read)) {
    boundary::raise(PyExc_ValueError, fault->message);
    return std::nullopt;
  }
  const auto& messages = std::get<std::vector<std::string>>(read);
  std::string message = "could not read the roster: ";
  for (size_t i = 0; i < messages.size(); ++i) {
    if (i > 0) message += "; ";
    message += messages[i];
  }
  boundary::raise(PyExc_ValueError, message);
  return std::nullopt;
}

// The three arguments plan() and Fleet() share, converted in their order,
// with the reserve held to 100 percent.
struct CardArguments {
  Budget budget;
  Roster roster;
};

std::optional<CardArguments> card_arguments(const char* callable, PyObject* args,
                                            PyObject* kwargs) {
  static constexpr std::array<const char*, 3> kNames = {"total_bytes", "reserve_pct",
                                                        "declared_json"};
  std::array<PyObject*, 3> bound;
  if (!boundary::bind(callable, kNames, args, kwargs, bound)) return std::nullopt;
  // Converting total_bytes or reserve_pct can run the caller's __index__,
  // which may drop every other reference to a later argument.
  const Ref held_reserve_pct = Ref::hold(bound[1]);
  const Ref held_declared_json = Ref::hold(bound[2]);
  uint64_t total_bytes = 0;
  uint8_t reserve_pct = 0;
  Text declared_json;
  if (!boundary::to_u64(bound[0], kNames[0], total_bytes) ||
      !boundary::to_u8(held_reserve_pct.get(), kNames[1], reserve_pct) ||
      !boundary::to_text(held_declared_json.get(), kNames[2], declared_json)) {
    return std::nullopt;
  }
  const Budget budget =
      Budget::with_reserve_pct(total_bytes, reserve_pct < 100 ? reserve_pct : uint8_t{100});
  std::optional<Roster> roster = roster_from(declared_json.view);
  if (!roster) return std::nullopt;
  return CardArguments{budget, std::move(*roster)};
}

PyObject* py_plan(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary::guarded([&]() -> PyObject* {
    std::optional<CardArguments> card = card_arguments("plan()", args, kwargs);
    if (!card) return nullptr;
    const Plan result = plan(card->budget, card->roster);
    const std::string explain = result.explain();
    const size_t declared = card->roster.size();
    // A card's plan fits on the stack; a roster of hundreds gets the heap.
    char on_stack[4096];
    size_t length = write_plan(result, explain, declared, on_stack, sizeof on_stack);
    if (length <= sizeof on_stack) return boundary::new_str(std::string_view(on_stack, length));
    const std::unique_ptr<char[]> on_heap(new char[length]);
    length = write_plan(result, explain, declared, on_heap.get(), length);
    return boundary::new_str(std::string_view(on_heap.get(), length));
  });
}

// ---------------------------------------------------------------------------
// The Fleet class.

// A Fleet instance: the interpreter's header, then the one core fleet it owns
// and the count of calls using it.
struct PyFleet {
  PyObject ob_base;
  Fleet fleet;
  int64_t borrow;  // see boundary::Access
  bool built;      // the constructor ran; an instance made around it is zeroed
};

// Created once, when the module is, and kept for the life of the process.
PyTypeObject* fleet_type = nullptr;

using Access = boundary::Access<PyFleet>;

PyObject* fleet_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary::guarded([&]() -> PyObject* {
    std::optional<CardArguments> card = card_arguments("Fleet.__new__()", args, kwargs);
    if (!card) return nullptr;
    Fleet fleet = declare(card->budget, std::move(card->roster));
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* object = alloc(type, 0);
    if (object == nullptr) return nullptr;
    PyFleet* self = reinterpret_cast<PyFleet*>(object);
    new (&self->fleet) Fleet(std::move(fleet));
    self->borrow = 0;
    self->built = true;
    return object;
  });
}

void fleet_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  PyFleet* self = reinterpret_cast<PyFleet*>(object);
  if (self->built) self->fleet.~Fleet();
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(object);
  // Instances of a heap type hold a reference to it.
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
    access.exclusive().fleet.set_endpoint(model.view, endpoint.view);
    Py_IncRef(Py_None);
    return Py_None;
  });
}

// Whether the unknown-kind message escapes the code point c beyond ASCII.
bool escaped_beyond_ascii(uint32_t c) {
  const auto* ranges = std::begin(kEscapedCodePoints);
  const auto* end = std::end(kEscapedCodePoints);
  // The first range that ends at or after c; c is in it if it starts by c.
  const auto* range = std::lower_bound(
      ranges, end, c, [](const uint32_t(&r)[2], uint32_t value) { return r[1] < value; });
  return range != end && (*range)[0] <= c;
}

// "a\"b" for a"b: the kind as a quoted literal, with control, unprintable and
// combining characters escaped so that a stray one is visible in a log.
// Reads the kind's UTF-8 and runs no interpreter code: the fleet is held
// for exclusive use while the message is made.
// REQUIRES: kind is valid UTF-8.
std::string quoted_kind(std::string_view kind) {
  std::string out = "\"";
  for (size_t i = 0; i < kind.size();) {
    const auto lead = static_cast<unsigned char>(kind[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k)
      c = (c << 6) | (static_cast<unsigned char>(kind[i + k]) & 0x3F);
    const std::string_view character = kind.substr(i, length);
    i += length;
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case 0:
        out += "\\0";
        continue;
      default:
        break;
    }
    const bool escape = c < 0x80 ? c < 0x20 || c == 0x7F : escaped_beyond_ascii(c);
    if (escape) {
      char digits[8];
      const auto written = std::to_chars(digits, digits + sizeof digits, c, 16);
      out += "\\u{";
      out.append(digits, written.ptr);
      out += '}';
    } else {
      out += character;
    }
  }
  out += '"';
  return out;
}

PyObject* fleet_observe(PyObject* object, PyObject* args, PyObject* kwargs) {
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
    // The detail is read before the kind is looked at: a call with both
    // wrong reports the JSON.
    auto read = read_observation(kind.view, detail_json.view);
    if (auto* fault = std::get_if<JsonFault>(&read)) {
      access.give_back();
      boundary::raise(PyExc_ValueError, fault->message);
      return nullptr;
    }
    const auto* observation = std::get_if<Observation>(&read);
    if (observation == nullptr) {
      std::string message = "unknown observation kind " + quoted_kind(kind.view);
      message +=
          " \u2014 expected one of: load_started, probe_ok, probe_failed, process_exited, "
          "load_failed, stop";
      access.give_back();
      boundary::raise(PyExc_ValueError, message);
      return nullptr;
    }
    access.exclusive().fleet.observe(model.view, *observation, now);
    Py_IncRef(Py_None);
    return Py_None;
  });
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
    // Written from the slot's own texts, nothing copied on the way; nearly
    // every route fits on the stack, and a host asks for one per request.
    const RouteView route = access.shared().fleet.route_view(model.view, now);
    char buffer[512];
    size_t length = write_route(route, buffer, sizeof buffer);
    if (length <= sizeof buffer) return boundary::new_str(std::string_view(buffer, length));
    const std::unique_ptr<char[]> on_heap(new char[length]);
    length = write_route(route, on_heap.get(), length);
    return boundary::new_str(std::string_view(on_heap.get(), length));
  });
}

PyObject* fleet_next_to_load(PyObject* object, PyObject*) {
  return boundary::guarded([&]() -> PyObject* {
    Access access(fleet_type, "Fleet");
    if (!access.take(object, /*exclusive=*/false)) return nullptr;
    const std::optional<std::string_view> model = access.shared().fleet.next_to_load();
    if (!model) {
      Py_IncRef(Py_None);
      return Py_None;
    }
    return boundary::new_str(*model);
  });
}

PyObject* fleet_committed_bytes(PyObject* object, PyObject*) {
  return boundary::guarded([&]() -> PyObject* {
    Access access(fleet_type, "Fleet");
    if (!access.take(object, /*exclusive=*/false)) return nullptr;
    return PyLong_FromUnsignedLongLong(access.shared().fleet.live_committed_bytes());
  });
}

PyObject* fleet_free_bytes(PyObject* object, PyObject*) {
  return boundary::guarded([&]() -> PyObject* {
    Access access(fleet_type, "Fleet");
    if (!access.take(object, /*exclusive=*/false)) return nullptr;
    return PyLong_FromUnsignedLongLong(access.shared().fleet.live_free_bytes());
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
    // Written straight into a buffer the text is then made from, never
    // cleared first. A card's few lines fit on the stack; a larger card is
    // given room for lines of typical names. Only a card of long names or
    // failure texts pays a walk over its slots to size the buffer exactly.
    const Fleet& fleet = access.shared().fleet;
    constexpr size_t kTypicalLine = 128;  // the header counts as one
    char on_stack[4096];
    std::unique_ptr<char[]> on_heap;
    char* buffer = on_stack;
    size_t room = sizeof on_stack;
    if (fleet.slots.size() >= room / kTypicalLine) {
      room = (fleet.slots.size() + 1) * kTypicalLine;
      on_heap.reset(new char[room]);
      buffer = on_heap.get();
    }
    std::optional<std::string_view> text = fleet.write_report(buffer, room, now);
    if (!text) {
      room = fleet.report_bound();
      on_heap.reset(new char[room]);
      text = fleet.write_report(on_heap.get(), room, now);
    }
    return boundary::new_str(*text);
  });
}

template <typename Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef fleet_methods[] = {
    {"set_endpoint", as_cfunction(fleet_set_endpoint), METH_VARARGS | METH_KEYWORDS,
     "set_endpoint($self, model, endpoint)\n--\n\n"},
    {"observe", as_cfunction(fleet_observe), METH_VARARGS | METH_KEYWORDS,
     "observe($self, model, kind, detail_json, now)\n"
     "--\n"
     "\n"
     "kind: load_started \u00b7 probe_ok \u00b7 probe_failed \u00b7 process_exited \u00b7\n"
     "      load_failed \u00b7 stop\n"
     "Record something observed. `kind` is one of:\n"
     "load_started \u00b7 probe_ok \u00b7 probe_failed \u00b7 process_exited \u00b7 load_failed "
     "\u00b7 stop\n"
     "\n"
     "Either key spelling is accepted (`gpu_present` or `gpuPresent`,\n"
     "`vram_bytes` or `vramBytes`) because the mapping lives in the core now,\n"
     "once. It used to live here AND in the Node binding with different\n"
     "spellings, so a dict written the other language's way silently lost its\n"
     "most important field.\n"
     "\n"
     "Raises on an unrecognised `kind`; it used to return silently, which made\n"
     "a typo indistinguishable from a model that never changed state."},
    {"route", as_cfunction(fleet_route), METH_VARARGS | METH_KEYWORDS,
     "route($self, model, now)\n--\n\n"},
    {"next_to_load", as_cfunction(fleet_next_to_load), METH_NOARGS, "next_to_load($self)\n--\n\n"},
    {"committed_bytes", as_cfunction(fleet_committed_bytes), METH_NOARGS,
     "committed_bytes($self)\n--\n\n"},
    {"free_bytes", as_cfunction(fleet_free_bytes), METH_NOARGS, "free_bytes($self)\n--\n\n"},
    {"report", as_cfunction(fleet_report), METH_VARARGS | METH_KEYWORDS,
     "report($self, now)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot fleet_slots[] = {
    {Py_tp_doc, const_cast<char*>("Fleet(total_bytes, reserve_pct, declared_json)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(fleet_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(fleet_dealloc)},
    {Py_tp_methods, fleet_methods},
    {0, nullptr},
};

// "builtins." gives the class the __module__ a class defined without one
// would have, so that instances print as builtins.Fleet. No BASETYPE flag (no
// subclasses), no GC flag (a fleet holds no Python objects), and neither a
// __dict__ nor a weak-reference slot.
PyType_Spec fleet_spec = {
    "builtins.Fleet", static_cast<int>(sizeof(PyFleet)), 0, Py_TPFLAGS_DEFAULT, fleet_slots,
};

PyMethodDef module_functions[] = {
    {"plan", as_cfunction(py_plan), METH_VARARGS | METH_KEYWORDS,
     "plan(total_bytes, reserve_pct, declared_json)\n--\n\n"
     "Can this card hold this roster? Returns a JSON string."},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 rather than -1: with -1 CPython would copy the first module into a
// sub-interpreter without calling PyInit__garnel, and the refusal below
// would never run.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_garnel", "", 0, module_functions, nullptr, nullptr, nullptr, nullptr,
};

// The module object, created once while the interpreter runs.
PyObject* the_module = nullptr;
bool forget_at_exit = false;

// Runs after the interpreter is finalised: what was cached belonged to it,
// and an embedding host that initialises a new one must get a new module,
// not the cleared old one.
void forget_the_interpreter() {
  the_module = nullptr;
  fleet_type = nullptr;
  boundary::forget_cached();
  // The runtime runs each registered function once and forgets it.
  forget_at_exit = false;
}

// Adds `value` (a new reference, taken over) as `name` and lists it in __all__.
bool add_export(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  Ref owned(value);
  if (!owned) return false;
  Ref key(PyUnicode_FromString(name));
  if (!key || PyObject_SetAttr(module, key.get(), owned.get()) < 0) return false;
  return PyList_Append(all, key.get()) == 0;
}

PyObject* create_module() {
  if (boundary::panic_exception_type() == nullptr) return nullptr;
  if (boundary::type_name_getter() == nullptr) return nullptr;
  Ref module(PyModule_Create(&module_definition));
  if (!module) return nullptr;
  Ref all(PyList_New(0));
  if (!all) return nullptr;
  Ref plan_name(PyUnicode_FromString("plan"));
  if (!plan_name || PyList_Append(all.get(), plan_name.get()) < 0) return nullptr;
  if (fleet_type == nullptr) {
    fleet_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&fleet_spec));
    if (fleet_type == nullptr) return nullptr;
  }
  Py_IncRef(reinterpret_cast<PyObject*>(fleet_type));
  if (!add_export(module.get(), all.get(), "Fleet", reinterpret_cast<PyObject*>(fleet_type))) {
    return nullptr;
  }
  if (!add_export(module.get(), all.get(), "__version__", PyUnicode_FromString(GARNEL_VERSION))) {
    return nullptr;
  }
  if (PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace garnel

PyMODINIT_FUNC PyInit__garnel(void) {
  return garnel::boundary::guarded([]() -> PyObject* {
    // Refused before any cached object is read or made: a sub-interpreter
    // that got this far once would leave its objects behind for the main
    // one, or lock it out. The main interpreter's id is 0.
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    if (id != 0) {
      PyErr_SetString(PyExc_ImportError,
                      "_garnel cannot be loaded in a sub-interpreter: only the main interpreter "
                      "of a process can load it");
      return nullptr;
    }
    if (garnel::the_module != nullptr) {
      Py_IncRef(garnel::the_module);
      return garnel::the_module;
    }
    // Should the runtime's table of exit functions be full, the module still
    // loads; only a second initialisation in this process would then find it
    // stale.
    if (!garnel::forget_at_exit)
      garnel::forget_at_exit = Py_AtExit(garnel::forget_the_interpreter) == 0;
    PyObject* module = garnel::create_module();
    if (module == nullptr) return nullptr;
    // The cache keeps a reference of its own while the interpreter runs.
    Py_IncRef(module);
    garnel::the_module = module;
    return module;
  });
}
