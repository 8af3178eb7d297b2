// Replacement templates of kordal_python.re, with `re`'s syntax and errors.
//
// A template is parsed once into pieces (literal runs and group numbers):
// \g<name>, \g<number>, \N (one or two digits), octal escapes (\0, \0NN and
// three octal digits), the escapes \a \b \f \n \r \t \v \\, and any other
// backslash kept with the character after it; an ASCII letter after a
// backslash is an error. Errors carry the position in the template.
// Expansion appends the pieces, a group that did not take part as nothing.
// Parsing costs one pass over the template; expansion the output's length.
#include "re_binding.hpp"

namespace kordal::py::re {

namespace {

bool is_digit(char32_t c) {
  return c >= '0' && c <= '9';
}
bool is_octal(char32_t c) {
  return c >= '0' && c <= '7';
}
bool is_ascii_letter(char32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char32_t escape_value(char32_t c) {
  switch (c) {
    case 'a':
      return 7;
    case 'b':
      return 8;
    case 'f':
      return 12;
    case 'n':
      return 10;
    case 'r':
      return 13;
    case 't':
      return 9;
    case 'v':
      return 11;
    case '\\':
      return '\\';
    default:
      return 0;
  }
}

std::string utf8_of(const std::u32string& s) {
  std::string out;
  for (char32_t c : s) {
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// A group name as `re` requires it: a Python identifier.
bool is_identifier(const std::u32string& name) {
  PyObject* s = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, name.data(),
                                          static_cast<Py_ssize_t>(name.size()));
  if (s == nullptr) {
    PyErr_Clear();
    return false;
  }
  const int ok = PyUnicode_IsIdentifier(s);
  Py_DECREF(s);
  return ok == 1;
}

}  // namespace

Template* parse_template(RePattern* p, PyObject* repl) {
  ReText rt;
  if (!to_re_text(repl, rt)) return nullptr;
  if (rt.bytes != p->bytes) {
    PyErr_Format(PyExc_TypeError, "expected %s, got '%s'", p->bytes ? "a bytes-like object" : "str",
                 Py_TYPE(repl)->tp_name);
    return nullptr;
  }
  const kordal::Text& t = rt.text;
  const size_t n = t.n;
  const size_t groups = p->c->re.group_count();
  auto t_ = std::make_unique<Template>();
  std::u32string lit;
  auto flush = [&] {
    if (lit.empty()) return;
    Piece piece;
    piece.lit = std::move(lit);
    t_->pieces.push_back(std::move(piece));
    lit.clear();
  };
  auto fail = [&](const std::string& msg, size_t pos) -> Template* {
    raise_error(p->state, msg, repl, static_cast<Py_ssize_t>(pos));
    return nullptr;
  };
  auto add_group = [&](size_t g) {
    flush();
    Piece piece;
    piece.group = g;
    t_->pieces.push_back(std::move(piece));
    t_->literal = false;
  };
  size_t i = 0;
  while (i < n) {
    const char32_t c = t.at(i);
    if (c != '\\') {
      lit += c;
      ++i;
      continue;
    }
    const size_t at = i;
    if (i + 1 >= n) return fail("bad escape (end of pattern)", at);
    const char32_t d = t.at(i + 1);
    i += 2;
    if (d == 'g') {
      if (i >= n || t.at(i) != '<') return fail("missing <", i);
      const size_t name_at = i + 1;
      size_t j = name_at;
      while (j < n && t.at(j) != '>') ++j;
      std::u32string name;
      for (size_t k = name_at; k < j; ++k) name += t.at(k);
      if (j >= n) {
        if (name.empty()) return fail("missing group name", name_at);
        return fail("missing >, unterminated name", name_at);
      }
      if (name.empty()) return fail("missing group name", name_at);
      i = j + 1;
      bool digits = true;
      for (char32_t ch : name) digits = digits && is_digit(ch);
      size_t g = 0;
      if (digits) {
        for (char32_t ch : name) {
          g = g * 10 + size_t(ch - '0');
          if (g > groups) break;
        }
        if (g > groups) {
          return fail("invalid group reference " + utf8_of(name), name_at);
        }
      } else {
        if (!is_identifier(name)) {
          return fail("bad character in group name '" + utf8_of(name) + "'", name_at);
        }
        const auto& names = p->c->re.names();
        auto it = names.find(utf8_of(name));
        if (it == names.end()) {
          PyErr_Format(PyExc_IndexError, "unknown group name '%s'", utf8_of(name).c_str());
          return nullptr;
        }
        g = it->second;
      }
      add_group(g);
      continue;
    }
    if (d == '0') {
      unsigned v = 0;
      for (int k = 0; k < 2 && i < n && is_octal(t.at(i)); ++k, ++i) v = v * 8 + (t.at(i) - '0');
      lit += char32_t(v);
      continue;
    }
    if (is_digit(d)) {
      size_t g = d - '0';
      if (i < n && is_digit(t.at(i))) {
        const char32_t e = t.at(i);
        if (is_octal(d) && is_octal(e) && i + 1 < n && is_octal(t.at(i + 1))) {
          const unsigned v = (d - '0') * 64 + (e - '0') * 8 + (t.at(i + 1) - '0');
          if (v > 0377) {
            std::string text = "\\";
            text += char(d);
            text += char(e);
            text += char(t.at(i + 1));
            return fail("octal escape value " + text + " outside of range 0-0o377", at);
          }
          lit += char32_t(v);
          i += 2;
          continue;
        }
        g = g * 10 + (e - '0');
        ++i;
      }
      if (g > groups) return fail("invalid group reference " + std::to_string(g), at + 1);
      add_group(g);
      continue;
    }
    if (const char32_t v = escape_value(d)) {
      lit += v;
      continue;
    }
    if (d < 0x80 && is_ascii_letter(d)) {
      std::string text = "\\";
      text += char(d);
      return fail("bad escape " + text, at);
    }
    lit += '\\';
    lit += d;
  }
  flush();
  return t_.release();
}

void expand_into(const Template& t, const kordal::Text& h, const Py_ssize_t* spans,
                 std::u32string& out) {
  for (const Piece& piece : t.pieces) {
    if (piece.group == Piece::kNoGroup) {
      out += piece.lit;
      continue;
    }
    const Py_ssize_t a = spans[2 * piece.group], b = spans[2 * piece.group + 1];
    if (a < 0) continue;
    kordal::with_units(h, [&](const auto* u) { out.append(u + a, u + b); });
  }
}

}  // namespace kordal::py::re
