// The kordal_python module: definition, the execution step, and the six
// module functions.
//
// Initialisation is multi-phase: PyInit_kordal_python only returns the
// definition, and exec_module fills the module, appending every name it adds
// to `__all__` in order. Each execution makes its own type objects and
// internal-failure class and keeps them in the module's state, so a fresh
// import, or one in a subinterpreter, shares nothing with another module
// object. The state's traverse and clear let the collector free a module
// together with its types, which refer back to it.
#include <string>

#include "arguments.hpp"
#include "binding.hpp"
#include "errors.hpp"
#include "escape.hpp"
#include "haystack.hpp"
#include "re_binding.hpp"
#include "version.hpp"

namespace kordal::py {

namespace {

extern PyModuleDef kModule;

const char* const kS[] = {"s"};
const char* const kPatternHaystack[] = {"pattern", "haystack"};
const char* const kFlagStr[] = {"flag_str"};
const char* const kPatternFlags[] = {"pattern", "flags"};

template <bool SpecialOnly, bool LiteralSpaces>
PyObject* escape_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params p{
      SpecialOnly ? (LiteralSpaces ? "escape_literal_spaces" : "escape_special_only") : "escape",
      kS, 1, 1};
  PyObject* a[1];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  Text s;
  if (!to_text(a[0], "s", s)) return nullptr;
  return str_from_utf8(kordal::escape::escape_impl(s.utf8, SpecialOnly, LiteralSpaces));
}

PyObject* is_match_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params p{"is_match", kPatternHaystack, 2, 2};
  PyObject* a[2];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  Text pattern;
  Haystack haystack;
  if (!to_text(a[0], "pattern", pattern) || !to_haystack(a[1], "haystack", haystack)) {
    return nullptr;
  }
  PyObject* rx = cached_regex(module_state(self), pattern.obj);
  if (rx == nullptr) return nullptr;
  bool found = false;
  const bool ok = check_status(regex_of(rx).is_match(haystack.text, found, search_control()));
  Py_DECREF(rx);
  if (!ok) return nullptr;
  return PyBool_FromLong(found);
}

uint32_t flag_bit(Py_UCS4 c) {
  switch (c) {
    case 'i':
      return kordal::flags::IGNORECASE;
    case 'm':
      return kordal::flags::MULTILINE;
    case 's':
      return kordal::flags::DOTALL;
    case 'u':
      return kordal::flags::UNICODE;
    case 'a':
      return kordal::flags::ASCII;
    case 'x':
      return kordal::flags::VERBOSE;
    case 'f':
      return kordal::flags::FULLCASE;
    case 'w':
      return kordal::flags::WORD;
    case 'l':
      return kordal::flags::LOCALE;
    default:
      return 0;
  }
}

PyObject* parse_flags_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params p{"parse_flags", kFlagStr, 1, 1};
  PyObject* a[1];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  Text s;
  if (!to_text(a[0], "flag_str", s)) return nullptr;
  uint32_t result = 0;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s.obj);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS4 c = PyUnicode_READ_CHAR(s.obj, i);
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    if (c == 'g' || c == 'y' || c == 'd') continue;  // accepted for familiarity
    uint32_t bit = flag_bit(c);
    if (bit == 0) {
      std::string msg = "unknown flag character ";
      kordal::write_quoted_char(msg, static_cast<char32_t>(c));
      PyObject* text = str_from_utf8(msg);
      if (text != nullptr) {
        PyErr_SetObject(PyExc_ValueError, text);
        Py_DECREF(text);
      }
      return nullptr;
    }
    result |= bit;
  }
  return PyLong_FromUnsignedLong(result);
}

PyObject* compile_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params p{"compile", kPatternFlags, 2, 1};
  PyObject* a[2];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  return new_regex(module_state(self), a[0], a[1]);
}

#define KORDAL_FUNCTION(name, fn, doc) \
  { name, fastcall_method<fn>(), METH_FASTCALL | METH_KEYWORDS, doc }

PyMethodDef kFunctions[] = {
    KORDAL_FUNCTION("escape", (escape_fn<false, false>),
                    "escape(s)\n--\n\n"
                    "Escape ``s`` so it matches literally as a regex pattern (aggressive mode)."),
    KORDAL_FUNCTION("escape_special_only", (escape_fn<true, false>),
                    "escape_special_only(s)\n--\n\n"
                    "Like :func:`escape` but only escapes regex metacharacters, leaving other\n"
                    "punctuation alone."),
    KORDAL_FUNCTION("escape_literal_spaces", (escape_fn<true, true>),
                    "escape_literal_spaces(s)\n--\n\n"
                    "Like :func:`escape` but leaves spaces unescaped."),
    KORDAL_FUNCTION("is_match", is_match_fn,
                    "is_match(pattern, haystack)\n--\n\n"
                    "Convenience: ``True`` if ``pattern`` matches anywhere in ``haystack``.\n\n"
                    ":raises ValueError: if ``pattern`` is syntactically invalid."),
    KORDAL_FUNCTION("parse_flags", parse_flags_fn,
                    "parse_flags(flag_str)\n--\n\n"
                    "Convert a flag string such as ``\"ims\"`` into a flags bitset (a bitwise OR\n"
                    "of the module-level flag constants).\n\n"
                    "Recognized letters (case-insensitive): ``i m s u a x f w l``.\n"
                    "The ``RegExp``-style ``g``, ``y``, ``d`` are accepted but ignored\n"
                    "(familiarity).\n\n"
                    ":raises ValueError: on an unknown flag character."),
    KORDAL_FUNCTION("compile", compile_fn,
                    "compile(pattern, flags=None)\n--\n\n"
                    "Compile ``pattern`` into a :class:`Regex`.\n\n"
                    ":raises ValueError: if ``pattern`` is syntactically invalid."),
};

#undef KORDAL_FUNCTION

// Appends `name` to the module's `__all__` (creating it if missing), then
// sets the attribute. Steals `value`.
int add_public(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return -1;
  PyObject* dict = PyModule_GetDict(module);
  PyObject* all = PyDict_GetItemString(dict, "__all__");
  if (all == nullptr) {
    all = PyList_New(0);
    if (all == nullptr || PyDict_SetItemString(dict, "__all__", all) < 0) {
      Py_XDECREF(all);
      Py_DECREF(value);
      return -1;
    }
    Py_DECREF(all);  // the module's dict holds it
  } else if (!PyList_Check(all)) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    Py_DECREF(value);
    return -1;
  }
  PyObject* s = PyUnicode_FromString(name);
  int rc = s != nullptr ? PyList_Append(all, s) : -1;
  Py_XDECREF(s);
  if (rc == 0) rc = PyObject_SetAttrString(module, name, value);
  Py_DECREF(value);
  return rc;
}

// Makes a type for `module` into `slot`, a field of its state.
bool make_into(PyTypeObject*& slot, PyObject* module, PyObject* (*make)(PyObject*)) {
  slot = reinterpret_cast<PyTypeObject*>(make(module));
  return slot != nullptr;
}

int exec_module_impl(PyObject* module) {
  ModuleState* st = module_state(module);
  PyObject* name = PyModule_GetNameObject(module);
  if (name == nullptr) return -1;
  for (PyMethodDef& def : kFunctions) {
    if (add_public(module, def.ml_name, PyCFunction_NewEx(&def, module, name)) < 0) {
      Py_DECREF(name);
      return -1;
    }
  }
  Py_DECREF(name);

  st->internal_error =
      PyErr_NewException("kordal_python.InternalError", PyExc_BaseException, nullptr);
  if (st->internal_error == nullptr) return -1;

  struct TypeEntry {
    const char* name;
    PyObject* (*make)(PyObject*);
    PyTypeObject* ModuleState::*slot;
  };
  const TypeEntry types[] = {{"Regex", make_regex_type, &ModuleState::regex_type},
                             {"Match", make_match_type, &ModuleState::match_type},
                             {"PartialMatch", make_partial_type, &ModuleState::partial_type}};
  for (const TypeEntry& t : types) {
    if (!make_into(st->*t.slot, module, t.make)) return -1;
    if (add_public(module, t.name, Py_NewRef(reinterpret_cast<PyObject*>(st->*t.slot))) < 0) {
      return -1;
    }
  }
  // An attribute left out of __all__, whose list of names is fixed.
  if (!make_into(st->time_limit_type, module, make_time_limit_type)) return -1;
  if (PyObject_SetAttrString(module, "time_limit",
                             reinterpret_cast<PyObject*>(st->time_limit_type)) < 0) {
    return -1;
  }
  // Made by Regex.stream; an attribute for annotations, left out of __all__.
  if (!make_into(st->stream_type, module, make_stream_type)) return -1;
  if (PyObject_SetAttrString(module, "Stream", reinterpret_cast<PyObject*>(st->stream_type)) < 0) {
    return -1;
  }
  // Reached through Regex.finditer only; not a public name.
  if (!make_into(st->find_iter_type, module, make_find_iter_type)) return -1;
  // Private, for pickle to rebuild results by reference.
  if (PyModule_AddFunctions(module, restore_functions) < 0) return -1;

  struct FlagEntry {
    const char* name;
    uint32_t value;
  };
  const FlagEntry flags[] = {
      {"IGNORECASE", kordal::flags::IGNORECASE}, {"MULTILINE", kordal::flags::MULTILINE},
      {"DOTALL", kordal::flags::DOTALL},         {"UNICODE", kordal::flags::UNICODE},
      {"ASCII", kordal::flags::ASCII},           {"VERBOSE", kordal::flags::VERBOSE},
      {"FULLCASE", kordal::flags::FULLCASE},     {"WORD", kordal::flags::WORD},
      {"LOCALE", kordal::flags::LOCALE},         {"VERSION0", kordal::flags::VERSION0},
      {"VERSION1", kordal::flags::VERSION1},
  };
  for (const FlagEntry& f : flags) {
    if (add_public(module, f.name, PyLong_FromUnsignedLong(f.value)) < 0) return -1;
  }
  if (add_public(module, "__version__", PyUnicode_FromString(KORDAL_VERSION)) < 0) return -1;
  // The interface of `re`, beside the module's own names (not in __all__).
  return re::add_re_module(module, st->internal_error);
}

int exec_module(PyObject* module) {
  try {
    return exec_module_impl(module);
  } catch (const std::exception&) {
    translate_current_exception(module);
    return -1;
  }
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* st = static_cast<ModuleState*>(PyModule_GetState(module));
  if (st == nullptr) return 0;
  Py_VISIT(st->regex_type);
  Py_VISIT(st->match_type);
  Py_VISIT(st->partial_type);
  Py_VISIT(st->find_iter_type);
  Py_VISIT(st->stream_type);
  Py_VISIT(st->time_limit_type);
  Py_VISIT(st->internal_error);
  Py_VISIT(st->pattern_cache);
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState* st = static_cast<ModuleState*>(PyModule_GetState(module));
  if (st == nullptr) return 0;
  Py_CLEAR(st->regex_type);
  Py_CLEAR(st->match_type);
  Py_CLEAR(st->partial_type);
  Py_CLEAR(st->find_iter_type);
  Py_CLEAR(st->stream_type);
  Py_CLEAR(st->time_limit_type);
  Py_CLEAR(st->internal_error);
  Py_CLEAR(st->pattern_cache);
  return 0;
}

void free_module(void* module) {
  clear_module(static_cast<PyObject*>(module));
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    // Nothing of the module's is shared between module objects, and the
    // engine's own caches are per thread, so interpreters with a lock each
    // may load it.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

const char kModuleDoc[] =
    "kordal \xe2\x80\x94 an advanced regular expression engine (Python bindings).\n\n"
    "This module exposes the kordal engine to Python: compile a pattern with\n"
    ":class:`Regex`, then use :meth:`Regex.find`, :meth:`Regex.is_match`,\n"
    ":meth:`Regex.find_partial`, :meth:`Regex.replace` / :meth:`Regex.replace_all`\n"
    "and :meth:`Regex.split`.";

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "kordal_python",
    kModuleDoc,
    sizeof(ModuleState),
    nullptr,  // functions are added by the execution step
    kSlots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

ModuleState* module_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

ModuleState* state_of_type(PyTypeObject* tp) {
  return static_cast<ModuleState*>(PyType_GetModuleState(tp));
}

PyObject* internal_error_of(PyObject* context) {
  PyObject* module = context;
  if (context != nullptr && !PyModule_Check(context)) {
    PyTypeObject* tp =
        PyType_Check(context) ? reinterpret_cast<PyTypeObject*>(context) : Py_TYPE(context);
    module = PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE) ? PyType_GetModule(tp) : nullptr;
    if (module == nullptr) PyErr_Clear();
  }
  if (module == nullptr) return nullptr;
  if (PyModule_GetDef(module) == &kModule) return module_state(module)->internal_error;
  return re::internal_error_of_module(module);
}

}  // namespace kordal::py

PyMODINIT_FUNC PyInit_kordal_python(void) {
  return PyModuleDef_Init(&kordal::py::kModule);
}
