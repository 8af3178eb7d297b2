// Reader of the behaviour corpus (see corpus.hpp): a recursive-descent JSON
// parser into a small value tree, then a typed walk that rejects unknown
// fields, so a misspelt expectation cannot go unchecked.
#include "corpus.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "regex.hpp"

namespace kordal::corpus {
namespace {

struct Value {
  enum class Kind : uint8_t { Null, Bool, Int, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  long long integer = 0;
  std::string string;
  std::vector<Value> items;
  // An object's fields: keys[i] names items[i]. Not pairs: a pair of a
  // still incomplete Value is not allowed, and clang refuses it.
  std::vector<std::string> keys;
};

struct BadInput : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

class Parser {
 public:
  explicit Parser(std::string_view in) : in_(in) {}

  Value document() {
    Value v = value(0);
    space();
    if (i_ != in_.size()) fail("text after the value");
    return v;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw BadInput(what + " at offset " + std::to_string(i_));
  }

  void space() {
    while (i_ < in_.size() &&
           (in_[i_] == ' ' || in_[i_] == '\n' || in_[i_] == '\r' || in_[i_] == '\t')) {
      ++i_;
    }
  }

  bool eat(char c) {
    space();
    if (i_ < in_.size() && in_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }

  void expect(char c) {
    if (!eat(c)) fail(std::string("expected '") + c + "'");
  }

  bool word(std::string_view w) {
    if (in_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }

  Value value(int depth) {
    if (depth > 32) fail("nesting too deep");
    space();
    if (i_ == in_.size()) fail("unexpected end");
    Value v;
    const char c = in_[i_];
    if (c == '{') {
      ++i_;
      v.kind = Value::Kind::Object;
      if (eat('}')) return v;
      do {
        space();
        std::string key = string();
        expect(':');
        v.keys.push_back(std::move(key));
        v.items.push_back(value(depth + 1));
      } while (eat(','));
      expect('}');
    } else if (c == '[') {
      ++i_;
      v.kind = Value::Kind::Array;
      if (eat(']')) return v;
      do {
        v.items.push_back(value(depth + 1));
      } while (eat(','));
      expect(']');
    } else if (c == '"') {
      v.kind = Value::Kind::String;
      v.string = string();
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      v.kind = Value::Kind::Int;
      const bool neg = c == '-';
      if (neg) ++i_;
      const size_t first = i_;
      while (i_ < in_.size() && in_[i_] >= '0' && in_[i_] <= '9' && i_ - first < 18) {
        v.integer = v.integer * 10 + (in_[i_++] - '0');
      }
      if (i_ == first || (i_ < in_.size() && (in_[i_] == '.' || in_[i_] == 'e' || in_[i_] == 'E' ||
                                              isdigit(in_[i_])))) {
        fail("only small integers are read");
      }
      if (neg) v.integer = -v.integer;
    } else if (word("true")) {
      v.kind = Value::Kind::Bool;
      v.boolean = true;
    } else if (word("false")) {
      v.kind = Value::Kind::Bool;
    } else if (!word("null")) {
      fail("unexpected character");
    }
    return v;
  }

  static bool isdigit(char c) { return c >= '0' && c <= '9'; }

  uint32_t hex4() {
    if (i_ + 4 > in_.size()) fail("short \\u escape");
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      const char h = in_[i_++];
      v <<= 4;
      if (h >= '0' && h <= '9') {
        v |= uint32_t(h - '0');
      } else if (h >= 'a' && h <= 'f') {
        v |= uint32_t(h - 'a' + 10);
      } else if (h >= 'A' && h <= 'F') {
        v |= uint32_t(h - 'A' + 10);
      } else {
        fail("bad \\u escape");
      }
    }
    return v;
  }

  std::string string() {
    if (i_ >= in_.size() || in_[i_] != '"') fail("expected a string");
    ++i_;
    std::string out;
    for (;;) {
      if (i_ >= in_.size()) fail("unterminated string");
      const char c = in_[i_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) fail("control character in a string");
      if (c != '\\') {
        out += c;  // UTF-8 passes through
        continue;
      }
      if (i_ >= in_.size()) fail("unterminated escape");
      const char e = in_[i_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          uint32_t cp = hex4();
          if (cp >= 0xD800 && cp < 0xDC00) {
            if (!word("\\u")) fail("lone high surrogate");
            const uint32_t lo = hex4();
            if (lo < 0xDC00 || lo >= 0xE000) fail("bad low surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          } else if (cp >= 0xDC00 && cp < 0xE000) {
            fail("lone low surrogate");
          }
          append_utf8(out, cp);
          break;
        }
        default:
          fail("unknown escape");
      }
    }
  }

  std::string_view in_;
  size_t i_ = 0;
};

// --- the typed walk ---

const Value* field(const Value& obj, std::string_view key) {
  for (size_t i = 0; i < obj.keys.size(); ++i) {
    if (obj.keys[i] == key) return &obj.items[i];
  }
  return nullptr;
}

void only_fields(const Value& obj, std::initializer_list<std::string_view> allowed,
                 const std::string& what) {
  if (obj.kind != Value::Kind::Object) throw BadInput(what + ": expected an object");
  for (const std::string& k : obj.keys) {
    if (std::find(allowed.begin(), allowed.end(), k) == allowed.end()) {
      throw BadInput(what + ": unknown field \"" + k + "\"");
    }
  }
}

const Value& need(const Value& obj, std::string_view key, Value::Kind kind,
                  const std::string& what) {
  const Value* v = field(obj, key);
  if (!v) throw BadInput(what + ": missing \"" + std::string(key) + "\"");
  if (v->kind != kind) throw BadInput(what + ": wrong type of \"" + std::string(key) + "\"");
  return *v;
}

const Value& as(const Value& v, Value::Kind kind, const std::string& what) {
  if (v.kind != kind) throw BadInput(what + ": wrong type");
  return v;
}

std::optional<std::string> string_or_null(const Value& v, const std::string& what) {
  if (v.kind == Value::Kind::Null) return std::nullopt;
  return as(v, Value::Kind::String, what).string;
}

ByteSpan span_of(const Value& v, const std::string& what) {
  const Value& a = as(v, Value::Kind::Array, what);
  if (a.items.size() != 2) throw BadInput(what + ": a span has two offsets");
  const long long s = as(a.items[0], Value::Kind::Int, what).integer;
  const long long e = as(a.items[1], Value::Kind::Int, what).integer;
  if (s < 0 || e < s) throw BadInput(what + ": bad span");
  return ByteSpan{size_t(s), size_t(e)};
}

uint32_t flag_named(const std::string& name, const std::string& what) {
  static const std::pair<const char*, uint32_t> kFlags[] = {
      {"IGNORECASE", flags::IGNORECASE}, {"MULTILINE", flags::MULTILINE},
      {"DOTALL", flags::DOTALL},         {"UNICODE", flags::UNICODE},
      {"ASCII", flags::ASCII},           {"VERBOSE", flags::VERBOSE},
  };
  for (const auto& [n, bit] : kFlags) {
    if (name == n) return bit;
  }
  throw BadInput(what + ": unknown flag " + name);
}

Case read_case(const Value& v, const std::string& what) {
  only_fields(v,
              {"why", "pattern", "flags", "text", "find", "history", "found", "findall", "split",
               "replace", "partial"},
              what);
  Case c;
  c.pattern = need(v, "pattern", Value::Kind::String, what).string;
  c.where = what + ": " + c.pattern;
  c.text = need(v, "text", Value::Kind::String, what).string;
  if (const Value* f = field(v, "flags")) {
    for (const Value& name : as(*f, Value::Kind::Array, what).items) {
      c.flags |= flag_named(as(name, Value::Kind::String, what).string, what);
    }
  }
  if (const Value* f = field(v, "find")) {
    c.find.emplace();
    if (f->kind != Value::Kind::Null) {
      only_fields(*f, {"span", "groups"}, what + " find");
      FindWant w;
      w.span = span_of(need(*f, "span", Value::Kind::Array, what), what);
      if (const Value* g = field(*f, "groups")) {
        w.has_groups = true;
        for (const Value& x : as(*g, Value::Kind::Array, what).items) {
          w.groups.push_back(string_or_null(x, what));
        }
      }
      *c.find = std::move(w);
    }
  }
  if (const Value* f = field(v, "history")) {
    c.history.emplace();
    for (const Value& g : as(*f, Value::Kind::Array, what).items) {
      std::vector<std::string> h;
      for (const Value& x : as(g, Value::Kind::Array, what).items) {
        h.push_back(as(x, Value::Kind::String, what).string);
      }
      c.history->push_back(std::move(h));
    }
  }
  if (const Value* f = field(v, "found")) c.found = as(*f, Value::Kind::Bool, what).boolean;
  if (const Value* f = field(v, "findall")) {
    c.findall.emplace();
    for (const Value& s : as(*f, Value::Kind::Array, what).items) {
      c.findall->push_back(span_of(s, what));
    }
  }
  if (const Value* f = field(v, "split")) {
    c.split.emplace();
    for (const Value& s : as(*f, Value::Kind::Array, what).items) {
      c.split->push_back(as(s, Value::Kind::String, what).string);
    }
  }
  if (const Value* f = field(v, "replace")) {
    for (const Value& r : as(*f, Value::Kind::Array, what).items) {
      only_fields(r, {"with", "first", "every"}, what + " replace");
      ReplaceWant w;
      w.with = need(r, "with", Value::Kind::String, what).string;
      w.first = need(r, "first", Value::Kind::String, what).string;
      if (const Value* e = field(r, "every")) w.every = as(*e, Value::Kind::String, what).string;
      c.replace.push_back(std::move(w));
    }
  }
  if (const Value* f = field(v, "partial")) {
    c.partial.emplace();
    if (f->kind != Value::Kind::Null) {
      only_fields(*f, {"status", "span", "groups"}, what + " partial");
      PartialWant w;
      w.status = need(*f, "status", Value::Kind::String, what).string;
      w.span = span_of(need(*f, "span", Value::Kind::Array, what), what);
      for (const Value& g : need(*f, "groups", Value::Kind::Array, what).items) {
        const Value& pair = as(g, Value::Kind::Array, what);
        if (pair.items.size() != 2) throw BadInput(what + ": a partial group is [state, text]");
        w.groups.emplace_back(as(pair.items[0], Value::Kind::String, what).string,
                              string_or_null(pair.items[1], what));
      }
      *c.partial = std::move(w);
    }
  }
  if (c.expectations() == 0) throw BadInput(what + ": a case without an expectation");
  return c;
}

}  // namespace

size_t Case::expectations() const {
  return size_t(find.has_value()) + size_t(history.has_value()) + size_t(found.has_value()) +
         size_t(findall.has_value()) + size_t(split.has_value()) + replace.size() +
         size_t(partial.has_value());
}

std::vector<Case> load_text(const std::string& json, const std::string& name, std::string& error) {
  std::vector<Case> out;
  try {
    const Value doc = Parser(json).document();
    for (const Value& sec : as(doc, Value::Kind::Array, name).items) {
      only_fields(sec, {"about", "cases"}, name);
      need(sec, "about", Value::Kind::String, name);
      for (const Value& c : need(sec, "cases", Value::Kind::Array, name).items) {
        out.push_back(read_case(c, name + " case " + std::to_string(out.size())));
      }
    }
  } catch (const BadInput& e) {
    error = name + ": " + e.what();
    out.clear();
  }
  return out;
}

std::vector<Case> load_dir(const std::string& dir, std::string& error) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    if (e.is_regular_file() && e.path().extension() == ".json") files.push_back(e.path());
  }
  if (ec) {
    error = dir + ": " + ec.message();
    return {};
  }
  std::sort(files.begin(), files.end());
  std::vector<Case> out;
  for (const fs::path& p : files) {
    std::ifstream f(p, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<Case> some = load_text(text, p.filename().string(), error);
    if (!error.empty()) return {};
    for (Case& c : some) out.push_back(std::move(c));
  }
  return out;
}

}  // namespace kordal::corpus
