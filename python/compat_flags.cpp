// Flags written for `re` or for the `regex` package, given where this
// module's flags are expected (`compile(p, re.IGNORECASE)`).
//
// Their bit values differ from this module's (re.I is 2, which here means
// MULTILINE), so taking them as plain ints would silently change the
// pattern's meaning. Their flag enums are distinct types, recognised by
// module and class name without importing either module; each set bit is
// translated to the flag of the same meaning, and a bit with no counterpart
// here is refused with ValueError naming it. Plain ints (and bool) keep this
// module's own meaning and never reach the tables. Cost: one attribute read
// of the type and a walk over at most 64 bits.
#include <cstring>
#include <string>

#include "binding.hpp"

namespace kordal::py {

namespace {

struct FlagMap {
  uint32_t bit;      // the foreign flag's value
  uint32_t ours;     // 0: no equivalent here
  const char* name;  // the foreign flag's name, for the error message
};

// re.RegexFlag (TEMPLATE is gone in 3.13, but an old value can still come).
constexpr FlagMap kRe[] = {
    {1, 0, "TEMPLATE"},
    {2, kordal::flags::IGNORECASE, "IGNORECASE"},
    {4, kordal::flags::LOCALE, "LOCALE"},
    {8, kordal::flags::MULTILINE, "MULTILINE"},
    {16, kordal::flags::DOTALL, "DOTALL"},
    {32, kordal::flags::UNICODE, "UNICODE"},
    {64, kordal::flags::VERBOSE, "VERBOSE"},
    {128, 0, "DEBUG"},
    {256, kordal::flags::ASCII, "ASCII"},
};

// regex.RegexFlag, the `regex` package's enum.
constexpr FlagMap kRegex[] = {
    {0x1, 0, "TEMPLATE"},
    {0x2, kordal::flags::IGNORECASE, "IGNORECASE"},
    {0x4, kordal::flags::LOCALE, "LOCALE"},
    {0x8, kordal::flags::MULTILINE, "MULTILINE"},
    {0x10, kordal::flags::DOTALL, "DOTALL"},
    {0x20, kordal::flags::UNICODE, "UNICODE"},
    {0x40, kordal::flags::VERBOSE, "VERBOSE"},
    {0x80, kordal::flags::ASCII, "ASCII"},
    {0x100, kordal::flags::VERSION1, "VERSION1"},
    {0x200, 0, "DEBUG"},
    {0x400, 0, "REVERSE"},
    {0x800, kordal::flags::WORD, "WORD"},
    {0x1000, 0, "BESTMATCH"},
    {0x2000, kordal::flags::VERSION0, "VERSION0"},
    {0x4000, kordal::flags::FULLCASE, "FULLCASE"},
    {0x8000, 0, "ENHANCEMATCH"},
    {0x10000, 0, "POSIX"},
};

struct Origin {
  const char* module;  // the enum class's __module__
  const char* shown;   // how the error names the flag's module
  const FlagMap* map;
  size_t size;
};

constexpr Origin kOrigins[] = {
    {"re", "re", kRe, sizeof kRe / sizeof kRe[0]},
    {"regex._regex_core", "regex", kRegex, sizeof kRegex / sizeof kRegex[0]},
    {"regex", "regex", kRegex, sizeof kRegex / sizeof kRegex[0]},
};

// The origin of `tp` if it is one of the recognised flag enums.
const Origin* origin_of(PyTypeObject* tp) {
  // Cheap filter first: a heap type named RegexFlag.
  const char* dot = std::strrchr(tp->tp_name, '.');
  if (std::strcmp(dot != nullptr ? dot + 1 : tp->tp_name, "RegexFlag") != 0) return nullptr;
  PyObject* mod = PyObject_GetAttrString(reinterpret_cast<PyObject*>(tp), "__module__");
  if (mod == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  const Origin* found = nullptr;
  if (PyUnicode_Check(mod)) {
    for (const Origin& o : kOrigins) {
      if (PyUnicode_CompareWithASCIIString(mod, o.module) == 0) found = &o;
    }
  }
  Py_DECREF(mod);
  return found;
}

}  // namespace

int translate_foreign_flags(PyObject* o, uint32_t& out) {
  if (PyLong_CheckExact(o) || PyBool_Check(o) || !PyLong_Check(o)) return 0;
  const Origin* origin = origin_of(Py_TYPE(o));
  if (origin == nullptr) return 0;
  const unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
  uint32_t result = 0;
  for (int b = 0; b < 64; ++b) {
    const unsigned long long bit = 1ULL << b;
    if ((v & bit) == 0) continue;
    const FlagMap* hit = nullptr;
    for (size_t i = 0; i < origin->size; ++i) {
      if (origin->map[i].bit == bit) hit = &origin->map[i];
    }
    if (hit == nullptr || hit->ours == 0) {
      std::string msg = std::string(origin->shown) + ".";
      msg += hit != nullptr ? hit->name : "RegexFlag(" + std::to_string(bit) + ")";
      msg += " has no equivalent in kordal";
      PyErr_SetString(PyExc_ValueError, msg.c_str());
      return -1;
    }
    result |= hit->ours;
  }
  out = result;
  return 1;
}

}  // namespace kordal::py
