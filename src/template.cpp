// Resolving template references to groups, and expanding a template against
// a Match (template.hpp).
#include "template.hpp"

#include <cstdint>

namespace kordal {

namespace regex {

std::optional<size_t> resolve_ref(std::string_view ref, size_t groups, const Names* names) {
  bool digits = !ref.empty();
  for (char c : ref) digits = digits && c >= '0' && c <= '9';
  if (digits) {
    uint64_t v = 0;
    bool fits = true;
    for (char c : ref) {
      const uint64_t d = uint64_t(c - '0');
      if (v > (UINT64_MAX - d) / 10) {
        fits = false;
        break;
      }
      v = v * 10 + d;
    }
    // A number that fits is a group number, never a name.
    if (fits) return v < groups ? std::optional<size_t>(size_t(v)) : std::nullopt;
  }
  if (!names) return std::nullopt;
  auto it = names->find(std::string(ref));
  if (it == names->end() || it->second >= groups) return std::nullopt;
  return it->second;
}

void append_group(std::string& out, const Match& m, std::string_view ref) {
  if (auto g = resolve_ref(ref, m.caps.size(), m.names.get())) {
    if (auto t = m.group(*g)) out.append(*t);
  }
}

void expand(std::string_view tmpl, const Match& m, std::string& out) {
  expand_with(
      tmpl, m.caps.size(), m.names.get(), [&](std::string_view t) { out.append(t); },
      [&](size_t g) {
        if (auto t = m.group(g)) out.append(*t);
      });
}

std::string expand(std::string_view tmpl, const Match& m) {
  std::string out;
  expand(tmpl, m, out);
  return out;
}

}  // namespace regex

}  // namespace kordal
