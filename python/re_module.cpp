// The module kordal_python.re: `re`'s functions, flags and error class over
// the engine, registered by the extension as a submodule.
//
// The execution step of kordal_python builds this module object, puts it in
// sys.modules as "kordal_python.re" and sets it as the attribute `re`, so
// both `import kordal_python.re` and `from kordal_python import re` work
// without a package directory. The flags are an enum.IntFlag with `re`'s
// values, so `re.I` and this module's `I` mean the same. Module-level
// functions compile through a cache: a dict from the pattern (flags 0) or
// from (type, pattern, flags) to the Pattern, at most kMax entries, the
// oldest dropped first; a hit costs one dict lookup. The types, the error
// class, the flag enum and the caches live in the module's state.
#include "arguments.hpp"
#include "escape.hpp"
#include "re_binding.hpp"

namespace kordal::py::re {

namespace {

extern PyModuleDef kModule;
constexpr Py_ssize_t kMax = 512;

bool store(PyObject* cache, PyObject* key, PyObject* value) {
  if (PyDict_GET_SIZE(cache) >= kMax) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    if (PyDict_Next(cache, &pos, &k, &v)) {
      Py_INCREF(k);
      const int rc = PyDict_DelItem(cache, k);
      Py_DECREF(k);
      if (rc < 0) return false;
    }
  }
  return PyDict_SetItem(cache, key, value) == 0;
}

}  // namespace

bool to_re_flags(PyObject* o, uint32_t& out) {
  out = 0;
  if (o == nullptr || o == Py_None) return true;
  const long long v = PyLong_AsLongLong(o);
  if (v == -1 && PyErr_Occurred()) {
    add_param_note("flags");
    return false;
  }
  if (v < 0 || v > 0xFFFFFFFFLL) {
    PyErr_SetString(PyExc_OverflowError, "flags out of range");
    return false;
  }
  out = uint32_t(v);
  return true;
}

void purge_cache(ReState* st) {
  if (st->cache_plain != nullptr) PyDict_Clear(st->cache_plain);
  if (st->cache_flags != nullptr) PyDict_Clear(st->cache_flags);
}

PyObject* cached_pattern(ReState* st, PyObject* pattern, PyObject* flags_obj) {
  if (PyObject_TypeCheck(pattern, st->pattern_type)) {
    uint32_t f = 0;
    if (!to_re_flags(flags_obj, f)) return nullptr;
    if (f != 0) {
      PyErr_SetString(PyExc_ValueError, "cannot process flags argument with a compiled pattern");
      return nullptr;
    }
    return Py_NewRef(pattern);
  }
  const bool exact = PyUnicode_CheckExact(pattern) || PyBytes_CheckExact(pattern);
  const bool plain = flags_obj == nullptr ||
                     (PyLong_CheckExact(flags_obj) && PyLong_AsLong(flags_obj) == 0) ||
                     flags_obj == Py_None;
  if (exact && plain) {
    if (st->cache_plain == nullptr && (st->cache_plain = PyDict_New()) == nullptr) return nullptr;
    PyObject* hit = PyDict_GetItemWithError(st->cache_plain, pattern);
    if (hit != nullptr) return Py_NewRef(hit);
    if (PyErr_Occurred()) return nullptr;
    PyObject* p = new_pattern(st, pattern, 0);
    if (p != nullptr && !store(st->cache_plain, pattern, p)) PyErr_Clear();
    return p;
  }
  uint32_t f = 0;
  if (!to_re_flags(flags_obj, f)) return nullptr;
  if (!exact) return new_pattern(st, pattern, f);
  if (st->cache_flags == nullptr && (st->cache_flags = PyDict_New()) == nullptr) return nullptr;
  PyObject* key = Py_BuildValue("(OOk)", reinterpret_cast<PyObject*>(Py_TYPE(pattern)), pattern,
                                (unsigned long)f);
  if (key == nullptr) return nullptr;
  PyObject* hit = PyDict_GetItemWithError(st->cache_flags, key);
  if (hit != nullptr) {
    Py_DECREF(key);
    return Py_NewRef(hit);
  }
  PyObject* p = PyErr_Occurred() ? nullptr : new_pattern(st, pattern, f);
  if (p != nullptr && !store(st->cache_flags, key, p)) PyErr_Clear();
  Py_DECREF(key);
  return p;
}

void raise_error(ReState* st, const std::string& msg, PyObject* pattern, Py_ssize_t pos) {
  std::string full = msg;
  Py_ssize_t lineno = -1, colno = -1;
  if (pos >= 0) {
    full += " at position " + std::to_string(pos);
    // Line and column, counted in the pattern's characters.
    ReText t;
    if (pattern != nullptr && to_re_text(pattern, t)) {
      lineno = 1;
      Py_ssize_t line_start = 0;
      for (Py_ssize_t i = 0; i < pos && size_t(i) < t.text.n; ++i) {
        if (t.text.at(size_t(i)) == '\n') {
          ++lineno;
          line_start = i + 1;
        }
      }
      colno = pos - line_start + 1;
      bool multiline = false;
      for (size_t i = 0; i < t.text.n && !multiline; ++i) multiline = t.text.at(i) == '\n';
      if (multiline) {
        full += " (line " + std::to_string(lineno) + ", column " + std::to_string(colno) + ")";
      }
    } else {
      PyErr_Clear();
    }
  }
  PyObject* text = str_from_utf8(full);
  if (text == nullptr) return;
  PyObject* exc = PyObject_CallOneArg(st->error_type, text);
  Py_DECREF(text);
  if (exc == nullptr) return;
  PyObject* m = str_from_utf8(msg);
  PyObject* none = Py_None;
  PyObject* p = pos >= 0 ? PyLong_FromSsize_t(pos) : Py_NewRef(none);
  PyObject* l = lineno >= 0 ? PyLong_FromSsize_t(lineno) : Py_NewRef(none);
  PyObject* c = colno >= 0 ? PyLong_FromSsize_t(colno) : Py_NewRef(none);
  if (m != nullptr && p != nullptr && l != nullptr && c != nullptr &&
      PyObject_SetAttrString(exc, "msg", m) == 0 &&
      PyObject_SetAttrString(exc, "pattern", pattern != nullptr ? pattern : none) == 0 &&
      PyObject_SetAttrString(exc, "pos", p) == 0 && PyObject_SetAttrString(exc, "lineno", l) == 0 &&
      PyObject_SetAttrString(exc, "colno", c) == 0) {
    PyErr_SetObject(st->error_type, exc);
  }
  Py_XDECREF(m);
  Py_XDECREF(p);
  Py_XDECREF(l);
  Py_XDECREF(c);
  Py_DECREF(exc);
}

namespace {

const char* const kCompileParams[] = {"pattern", "flags"};
const char* const kSearchParams[] = {"pattern", "string", "flags", "timeout"};
const char* const kSubParams[] = {"pattern", "repl", "string", "count", "flags", "timeout"};
const char* const kSplitParams[] = {"pattern", "string", "maxsplit", "flags", "timeout"};
const char* const kEscapeParams[] = {"pattern"};

PyObject* compile_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params prm{"compile", kCompileParams, 2, 1};
  PyObject* a[2];
  if (!bind(prm, args, nargs, kwnames, a)) return nullptr;
  return cached_pattern(re_state(self), a[0], a[1]);
}

template <Op O>
PyObject* search_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params prm{O == Op::Search  ? "search"
                          : O == Op::Match ? "match"
                                           : "fullmatch",
                          kSearchParams, 4, 2, 1};
  PyObject* a[4];
  if (!bind(prm, args, nargs, kwnames, a)) return nullptr;
  double timeout = -1;
  if (!to_timeout(prm, a, timeout)) return nullptr;
  PyObject* p = cached_pattern(re_state(self), a[0], a[2]);
  if (p == nullptr) return nullptr;
  TimeoutScope limit(timeout);
  PyObject* r = pattern_search_op(reinterpret_cast<RePattern*>(p), a[1], 0, PY_SSIZE_T_MAX, O);
  Py_DECREF(p);
  return r;
}

template <bool Iter>
PyObject* findall_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params prm{Iter ? "finditer" : "findall", kSearchParams, 4, 2, 1};
  PyObject* a[4];
  if (!bind(prm, args, nargs, kwnames, a)) return nullptr;
  double timeout = -1;
  if (!to_timeout(prm, a, timeout)) return nullptr;
  PyObject* p = cached_pattern(re_state(self), a[0], a[2]);
  if (p == nullptr) return nullptr;
  auto* rp = reinterpret_cast<RePattern*>(p);
  PyObject* r = nullptr;
  if (Iter) {
    r = pattern_finditer_impl(rp, a[1], 0, PY_SSIZE_T_MAX, false, timeout);
  } else {
    TimeoutScope limit(timeout);
    r = pattern_findall_impl(rp, a[1], 0, PY_SSIZE_T_MAX);
  }
  Py_DECREF(p);
  return r;
}

template <bool WithCount>
PyObject* sub_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params prm{WithCount ? "subn" : "sub", kSubParams, 6, 3, 1};
  PyObject* a[6];
  if (!bind(prm, args, nargs, kwnames, a)) return nullptr;
  Py_ssize_t count = 0;
  double timeout = -1;
  if (!to_ssize(a[3], "count", count) || !to_timeout(prm, a, timeout)) return nullptr;
  PyObject* p = cached_pattern(re_state(self), a[0], a[4]);
  if (p == nullptr) return nullptr;
  TimeoutScope limit(timeout);
  PyObject* r = pattern_subn_impl(reinterpret_cast<RePattern*>(p), a[1], a[2], count, WithCount);
  Py_DECREF(p);
  return r;
}

PyObject* split_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params prm{"split", kSplitParams, 5, 2, 1};
  PyObject* a[5];
  if (!bind(prm, args, nargs, kwnames, a)) return nullptr;
  Py_ssize_t maxsplit = 0;
  double timeout = -1;
  if (!to_ssize(a[2], "maxsplit", maxsplit) || !to_timeout(prm, a, timeout)) return nullptr;
  PyObject* p = cached_pattern(re_state(self), a[0], a[3]);
  if (p == nullptr) return nullptr;
  TimeoutScope limit(timeout);
  PyObject* r = pattern_split_impl(reinterpret_cast<RePattern*>(p), a[1], maxsplit);
  Py_DECREF(p);
  return r;
}

// The characters `re.escape` puts a backslash before.
bool escaped(uint32_t c) {
  switch (c) {
    case '(':
    case ')':
    case '[':
    case ']':
    case '{':
    case '}':
    case '?':
    case '*':
    case '+':
    case '-':
    case '|':
    case '^':
    case '$':
    case '\\':
    case '.':
    case '&':
    case '~':
    case '#':
    case ' ':
    case '\t':
    case '\n':
    case '\r':
    case '\v':
    case '\f':
      return true;
    default:
      return false;
  }
}

PyObject* escape_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params prm{"escape", kEscapeParams, 1, 1};
  PyObject* a[1];
  if (!bind(prm, args, nargs, kwnames, a)) return nullptr;
  ReText t;
  if (!to_re_text(a[0], t)) return nullptr;
  std::u32string out;
  out.reserve(t.text.n);
  for (size_t i = 0; i < t.text.n; ++i) {
    const char32_t c = t.text.at(i);
    if (escaped(c)) out += U'\\';
    out += c;
  }
  return build_result(out, t.bytes);
}

PyObject* purge_fn(PyObject* self, PyObject*) {
  purge_cache(re_state(self));
  Py_RETURN_NONE;
}

#define RE_FUNCTION(name, fn, doc) \
  { name, fastcall_method<fn>(), METH_FASTCALL | METH_KEYWORDS, doc }

PyMethodDef kFunctions[] = {
    RE_FUNCTION("compile", compile_fn,
                "compile(pattern, flags=0)\n--\n\n"
                "Compile a pattern (str or bytes) into a Pattern."),
    RE_FUNCTION("search", search_fn<Op::Search>,
                "search(pattern, string, flags=0, *, timeout=None)\n--\n\n"
                "The first match of pattern in string, or None."),
    RE_FUNCTION("match", search_fn<Op::Match>,
                "match(pattern, string, flags=0, *, timeout=None)\n--\n\n"
                "The match of pattern at the start of string, or None."),
    RE_FUNCTION("fullmatch", search_fn<Op::Full>,
                "fullmatch(pattern, string, flags=0, *, timeout=None)\n--\n\n"
                "The match of pattern spanning the whole string, or None."),
    RE_FUNCTION("findall", findall_fn<false>,
                "findall(pattern, string, flags=0, *, timeout=None)\n--\n\n"
                "Every match's text (or its groups) as a list."),
    RE_FUNCTION("finditer", findall_fn<true>,
                "finditer(pattern, string, flags=0, *, timeout=None)\n--\n\n"
                "An iterator over every match."),
    RE_FUNCTION("sub", sub_fn<false>,
                "sub(pattern, repl, string, count=0, flags=0, *, timeout=None)\n--\n\n"
                "The string with matches replaced by repl (a template or a function)."),
    RE_FUNCTION("subn", sub_fn<true>,
                "subn(pattern, repl, string, count=0, flags=0, *, timeout=None)\n--\n\n"
                "Like sub(), returning (new string, number of replacements)."),
    RE_FUNCTION("split", split_fn,
                "split(pattern, string, maxsplit=0, flags=0, *, timeout=None)\n--\n\n"
                "The string split at the matches, with the groups' texts between."),
    RE_FUNCTION("escape", escape_fn,
                "escape(pattern)\n--\n\n"
                "The text with every character that has a meaning in a pattern escaped."),
    {"purge", guarded<purge_fn>, METH_NOARGS, "purge()\n--\n\nClear the compile cache."},
    {"_rebuild_match", guarded<rebuild_match>, METH_VARARGS, "For pickle: a Match from its state."},
    {nullptr, nullptr, 0, nullptr},
};

#undef RE_FUNCTION

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ReState* st = static_cast<ReState*>(PyModule_GetState(module));
  if (st == nullptr) return 0;
  Py_VISIT(st->pattern_type);
  Py_VISIT(st->match_type);
  Py_VISIT(st->scanner_type);
  Py_VISIT(st->error_type);
  Py_VISIT(st->flag_enum);
  Py_VISIT(st->cache_plain);
  Py_VISIT(st->cache_flags);
  Py_VISIT(st->internal_error);
  return 0;
}

int clear_module(PyObject* module) {
  ReState* st = static_cast<ReState*>(PyModule_GetState(module));
  if (st == nullptr) return 0;
  Py_CLEAR(st->pattern_type);
  Py_CLEAR(st->match_type);
  Py_CLEAR(st->scanner_type);
  Py_CLEAR(st->error_type);
  Py_CLEAR(st->flag_enum);
  Py_CLEAR(st->cache_plain);
  Py_CLEAR(st->cache_flags);
  Py_CLEAR(st->internal_error);
  return 0;
}

void free_module(void* module) {
  clear_module(static_cast<PyObject*>(module));
}

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "kordal_python.re",
    "The interface of Python's ``re`` over the kordal engine.\n\n"
    "``import kordal_python.re as re`` and use it as ``re``; the pattern language is\n"
    "kordal's (see the README for where it reads a pattern differently).",
    sizeof(ReState),
    kFunctions,
    nullptr,
    traverse_module,
    clear_module,
    free_module,
};

// enum.IntFlag('RegexFlag', ...) with `re`'s members.
PyObject* make_flag_enum() {
  PyObject* en = PyImport_ImportModule("enum");
  if (en == nullptr) return nullptr;
  PyObject* int_flag = PyObject_GetAttrString(en, "IntFlag");
  Py_DECREF(en);
  if (int_flag == nullptr) return nullptr;
  // re's members in re's order (which decides how a combination prints),
  // then the one-letter aliases. TEMPLATE is gone from 3.13 on.
  PyObject* members =
      Py_BuildValue("[(si)(si)(si)(si)(si)(si)(si)(si)(si)(si)(si)(si)(si)(si)(si)(si)(si)]",
                    "NOFLAG", 0, "ASCII", int(kAscii), "IGNORECASE", int(kIgnoreCase), "LOCALE",
                    int(kLocale), "UNICODE", int(kUnicode), "MULTILINE", int(kMultiline), "DOTALL",
                    int(kDotAll), "VERBOSE", int(kVerbose), "TEMPLATE", int(kTemplate), "DEBUG",
                    int(kDebug), "A", int(kAscii), "I", int(kIgnoreCase), "L", int(kLocale), "U",
                    int(kUnicode), "M", int(kMultiline), "S", int(kDotAll), "X", int(kVerbose));
#if PY_VERSION_HEX >= 0x030D0000
  if (members != nullptr && PySequence_DelItem(members, 8) < 0) Py_CLEAR(members);
#endif
  PyObject* kw = Py_BuildValue("{ss}", "module", "kordal_python.re");
  PyObject* r = nullptr;
  if (members != nullptr && kw != nullptr) {
    PyObject* args = Py_BuildValue("(sO)", "RegexFlag", members);
    if (args != nullptr) {
      r = PyObject_Call(int_flag, args, kw);
      Py_DECREF(args);
    }
  }
  Py_XDECREF(members);
  Py_XDECREF(kw);
  Py_DECREF(int_flag);
  return r;
}

int fill(PyObject* m) {
  ReState* st = re_state(m);
  const struct {
    PyObject* (*make)(PyObject*);
    PyTypeObject* ReState::*slot;
  } kTypes[] = {{make_match_type, &ReState::match_type},
                {make_pattern_type, &ReState::pattern_type},
                {make_scanner_type, &ReState::scanner_type}};
  for (const auto& t : kTypes) {
    st->*t.slot = reinterpret_cast<PyTypeObject*>(t.make(m));
    if (st->*t.slot == nullptr) return -1;
  }
  PyObject* dict = Py_BuildValue("{ss}", "__doc__",
                                 "A pattern or template the engine rejects.\n\n"
                                 "Attributes: msg, pattern, pos, lineno, colno.");
  if (dict == nullptr) return -1;
  st->error_type = PyErr_NewException("kordal_python.re.error", PyExc_ValueError, dict);
  Py_DECREF(dict);
  if (st->error_type == nullptr) return -1;
  if ((st->flag_enum = make_flag_enum()) == nullptr) return -1;
  PyTypeObject* pattern_type = st->pattern_type;
  PyTypeObject* match_type = st->match_type;
  PyTypeObject* scanner_type = st->scanner_type;
  PyObject* error_type = st->error_type;
  PyObject* flag_enum = st->flag_enum;
  if (PyModule_AddObject(m, "Pattern", Py_NewRef(reinterpret_cast<PyObject*>(pattern_type))) < 0 ||
      PyModule_AddObject(m, "Match", Py_NewRef(reinterpret_cast<PyObject*>(match_type))) < 0 ||
      PyModule_AddObject(m, "error", Py_NewRef(error_type)) < 0 ||
      PyModule_AddObject(m, "PatternError", Py_NewRef(error_type)) < 0 ||
      // The type of finditer's iterator and of Pattern.scanner().
      PyModule_AddObject(m, "Scanner", Py_NewRef(reinterpret_cast<PyObject*>(scanner_type))) < 0 ||
      PyModule_AddObject(m, "RegexFlag", Py_NewRef(flag_enum)) < 0) {
    return -1;
  }
  static const struct {
    const char* name;
    const char* member;
  } kAliases[] = {{"NOFLAG", "NOFLAG"},         {"I", "IGNORECASE"},
                  {"IGNORECASE", "IGNORECASE"}, {"L", "LOCALE"},
                  {"LOCALE", "LOCALE"},         {"M", "MULTILINE"},
                  {"MULTILINE", "MULTILINE"},   {"S", "DOTALL"},
                  {"DOTALL", "DOTALL"},         {"U", "UNICODE"},
                  {"UNICODE", "UNICODE"},       {"X", "VERBOSE"},
                  {"VERBOSE", "VERBOSE"},       {"A", "ASCII"},
                  {"ASCII", "ASCII"},           {"DEBUG", "DEBUG"}};
  for (const auto& a : kAliases) {
    PyObject* v = PyObject_GetAttrString(flag_enum, a.member);
    if (v == nullptr || PyModule_AddObject(m, a.name, v) < 0) {
      Py_XDECREF(v);
      return -1;
    }
  }
  PyObject* all =
      Py_BuildValue("[sssssssssssssssssssssssssssss]", "match", "fullmatch", "search", "sub",
                    "subn", "split", "findall", "finditer", "compile", "purge", "escape", "error",
                    "Pattern", "Match", "A", "I", "L", "M", "S", "X", "U", "ASCII", "IGNORECASE",
                    "LOCALE", "MULTILINE", "DOTALL", "VERBOSE", "UNICODE", "NOFLAG");
  if (all == nullptr || PyModule_AddObject(m, "__all__", all) < 0) {
    Py_XDECREF(all);
    return -1;
  }
  return 0;
}

// Flags print as `re`'s do ("re.IGNORECASE|re.MULTILINE", also through
// str) where enum can do it (3.11 on); needs the module in sys.modules.
int show_flags_as_re(PyObject* flag_enum) {
  PyObject* en = PyImport_ImportModule("enum");
  if (en == nullptr) return -1;
  PyObject* global_enum = PyObject_GetAttrString(en, "global_enum");
  Py_DECREF(en);
  if (global_enum == nullptr) {
    PyErr_Clear();
    return 0;
  }
  PyObject* r = PyObject_CallOneArg(global_enum, flag_enum);
  Py_DECREF(global_enum);
  if (r == nullptr) return -1;
  Py_DECREF(r);
  PyObject* object_str =
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__str__");
  PyObject* hex = PyDict_GetItemString(PyEval_GetBuiltins(), "hex");
  const int rc = object_str != nullptr && hex != nullptr &&
                         PyObject_SetAttrString(flag_enum, "__str__", object_str) == 0 &&
                         PyObject_SetAttrString(flag_enum, "_numeric_repr_", hex) == 0
                     ? 0
                     : -1;
  Py_XDECREF(object_str);
  return rc;
}

}  // namespace

ReState* re_state(PyObject* module) {
  return static_cast<ReState*>(PyModule_GetState(module));
}

PyObject* internal_error_of_module(PyObject* module) {
  if (PyModule_GetDef(module) != &kModule) return nullptr;
  return re_state(module)->internal_error;
}

int add_re_module(PyObject* parent, PyObject* internal_error) {
  // A second execution of the extension (a fresh import in one interpreter)
  // shares the registered submodule, so every route to it gives one object.
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* known = PyDict_GetItemString(modules, "kordal_python.re");
  if (known != nullptr && PyModule_Check(known) && PyModule_GetDef(known) == &kModule) {
    return PyObject_SetAttrString(parent, "re", known);
  }
  PyObject* m = PyModule_Create(&kModule);
  if (m == nullptr) return -1;
  re_state(m)->internal_error = Py_NewRef(internal_error);
  if (fill(m) < 0) {
    Py_DECREF(m);
    return -1;
  }
  if (PyDict_SetItemString(modules, "kordal_python.re", m) < 0 ||
      PyObject_SetAttrString(parent, "re", m) < 0) {
    Py_DECREF(m);
    return -1;
  }
  if (show_flags_as_re(re_state(m)->flag_enum) < 0) {
    Py_DECREF(m);
    return -1;
  }
  Py_DECREF(m);
  return 0;
}

}  // namespace kordal::py::re
