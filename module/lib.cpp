// The extension module _garnel: the core's face to a Python host.
//
// Each entry point binds its arguments, converts them, calls one core
// operation and turns the answer into a str, an int or None. Every failure
// becomes the interpreter exception the module documents; no C++ exception
// crosses into the interpreter (see boundary.h).

#include "boundary.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>

#include "budget.h"
#include "json_text.h"

namespace garnel {
namespace {

using boundary::Ref;
using boundary::Text;

// parse_json, or null with ValueError("bad json: ...") set.
std::optional<JsonValue> parse(std::string_view text) {
  auto parsed = parse_json(text);
  if (auto* message = std::get_if<std::string>(&parsed)) {
    boundary::raise(PyExc_ValueError, *message);
    return std::nullopt;
  }
  return std::move(std::get<JsonValue>(parsed));
}

// declared_from_json, or null with ValueError("could not read the roster: ...").
std::optional<Roster> roster_from(const JsonValue& value) {
  auto read = declared_from_json(value);
  if (auto* messages = std::get_if<std::vector<std::string>>(&read)) {
    std::string text = "could not read the roster: ";
    for (size_t i = 0; i < messages->size(); ++i) {
      if (i > 0) text += "; ";
      text += (*messages)[i];
    }
    boundary::raise(PyExc_ValueError, text);
    return std::nullopt;
  }
  return std::move(std::get<Roster>(read));
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
  uint64_t total_bytes = 0;
  uint8_t reserve_pct = 0;
  Text declared_json;
  if (!boundary::to_u64(bound[0], kNames[0], total_bytes) ||
      !boundary::to_u8(bound[1], kNames[1], reserve_pct) ||
      !boundary::to_text(bound[2], kNames[2], declared_json)) {
    return std::nullopt;
  }
  const Budget budget =
      Budget::with_reserve_pct(total_bytes, reserve_pct < 100 ? reserve_pct : uint8_t{100});
  std::optional<JsonValue> value = parse(declared_json.view);
  if (!value) return std::nullopt;
  std::optional<Roster> roster = roster_from(*value);
  if (!roster) return std::nullopt;
  return CardArguments{budget, std::move(*roster)};
}

// The plan as the module writes it: eight keys, rejections with their shortfall.
JsonValue plan_json(const Plan& result, size_t declared) {
  JsonValue rejected = JsonValue::array();
  for (const Rejection& rejection : result.rejected) {
    rejected.push_back({{"free_bytes", rejection.free_bytes},
                        {"model", rejection.model},
                        {"needed_bytes", rejection.needed_bytes},
                        {"short_bytes", rejection.short_bytes()}});
  }
  return {{"admitted", result.admitted},
          {"committed_bytes", result.committed_bytes},
          {"declared", declared},
          {"explain", result.explain()},
          {"fits", result.rejected.empty()},
          {"headroom_bytes", result.headroom_bytes()},
          {"rejected", std::move(rejected)},
          {"usable_bytes", result.usable_bytes}};
}

PyObject* py_plan(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary::guarded([&]() -> PyObject* {
    std::optional<CardArguments> card = card_arguments("plan()", args, kwargs);
    if (!card) return nullptr;
    const Plan result = plan(card->budget, card->roster);
    return boundary::new_str(write_json(plan_json(result, card->roster.size())));
  });
}

PyMethodDef module_functions[] = {
    {"plan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_plan)),
     METH_VARARGS | METH_KEYWORDS,
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

// The module object, created once per process, and the interpreter it
// belongs to: its objects must never be shared with another interpreter.
PyObject* the_module = nullptr;
int64_t the_interpreter = -1;

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
  Ref module(PyModule_Create(&module_definition));
  if (!module) return nullptr;
  Ref all(PyList_New(0));
  if (!all) return nullptr;
  Ref plan_name(PyUnicode_FromString("plan"));
  if (!plan_name || PyList_Append(all.get(), plan_name.get()) < 0) return nullptr;
  if (!add_export(module.get(), all.get(), "__version__", PyUnicode_FromString("0.4.7"))) {
    return nullptr;
  }
  if (PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace garnel

PyMODINIT_FUNC PyInit__garnel(void) {
  return garnel::boundary::guarded([]() -> PyObject* {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const int64_t id = PyInterpreterState_GetID(interpreter);
    if (id < 0) return nullptr;
    if (garnel::the_module != nullptr) {
      if (id != garnel::the_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "_garnel cannot be loaded in a sub-interpreter: it is already loaded in "
                        "another interpreter of this process");
        return nullptr;
      }
      Py_IncRef(garnel::the_module);
      return garnel::the_module;
    }
    PyObject* module = garnel::create_module();
    if (module == nullptr) return nullptr;
    // The cache keeps a reference of its own for the life of the process.
    Py_IncRef(module);
    garnel::the_module = module;
    garnel::the_interpreter = id;
    return module;
  });
}
