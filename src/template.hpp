// Replacement templates: the one parser of `$1`, `${name}`, `\g<name>`,
// `$&`, `$$` and the backslash escapes, shared by every replacement (on
// UTF-8, on a Text through a ReplaceSink) and by Match.expand.
//
// expand_with walks a template once, left to right, and hands each piece to
// the caller's callbacks: no intermediate form is built, so an expansion
// costs the template's length plus the text it copies (and a string built
// per named reference, to look it up). A reference that designates no
// existing group expands to nothing, and a template never fails: every byte
// is either part of a reference or copied as it stands.
// Tests: tests/test_iteration.py and tests/data/iteration.json (replacement
// templates), test_text_storage.py (Match.expand), and fuzz_regex's invariants
// (every spelling of a reference, replace_all against find-all).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "match_obj.hpp"
#include "names.hpp"

namespace kordal {

namespace regex {
// Walks a replacement template: literal text goes to lit(std::string_view),
// each reference that designates an existing group (a number below `groups`,
// the number of groups including group 0, or a name in `names`) to
// group(size_t), and `$&` to group(0). Never fails.
template <class Lit, class Group>
void expand_with(std::string_view tmpl, size_t groups, const Names* names, Lit&& lit,
                 Group&& group);
// The group a reference (number or name) designates, if it exists.
std::optional<size_t> resolve_ref(std::string_view ref, size_t groups, const Names* names);
// Expands a replacement template against a match; never fails.
void expand(std::string_view tmpl, const Match& m, std::string& out);
std::string expand(std::string_view tmpl, const Match& m);
// Appends the group a reference (number or name) designates, or nothing.
void append_group(std::string& out, const Match& m, std::string_view ref);

template <class Lit, class Group>
void expand_with(std::string_view tmpl, size_t groups, const Names* names, Lit&& lit,
                 Group&& group) {
  // Every character with a meaning here is ASCII, so the template is walked
  // byte by byte; runs of other bytes are passed through in one piece.
  const size_t len = tmpl.size();
  auto is_digit = [&](size_t i) { return i < len && tmpl[i] >= '0' && tmpl[i] <= '9'; };
  auto digit_run = [&](size_t i) {
    size_t j = i;
    while (is_digit(j)) ++j;
    return j;
  };
  auto ref = [&](std::string_view r) {
    if (auto g = resolve_ref(r, groups, names)) group(*g);
  };
  // A reference up to `closer`; returns the index after the closer, or len.
  auto reference = [&](size_t i, char closer) {
    const size_t close = tmpl.find(closer, i);
    const size_t end = close == std::string_view::npos ? len : close;
    ref(tmpl.substr(i, end - i));
    return close == std::string_view::npos ? len : close + 1;
  };
  // The whole UTF-8 character at i; returns the index after it.
  auto char_end = [&](size_t i) {
    size_t j = i + 1;
    while (j < len && (static_cast<unsigned char>(tmpl[j]) & 0xC0) == 0x80) ++j;
    return j;
  };
  size_t i = 0;
  while (i < len) {
    const char c = tmpl[i];
    if (c != '$' && c != '\\') {
      size_t j = i + 1;
      while (j < len && tmpl[j] != '$' && tmpl[j] != '\\') ++j;
      lit(tmpl.substr(i, j - i));
      i = j;
      continue;
    }
    if (i + 1 >= len) {
      lit(tmpl.substr(i, 1));
      ++i;
      continue;
    }
    const char d = tmpl[i + 1];
    if (c == '$') {
      if (d == '$') {
        lit("$");
        i += 2;
      } else if (d == '&') {
        group(size_t(0));
        i += 2;
      } else if (d == '{') {
        i = reference(i + 2, '}');
      } else if (is_digit(i + 1)) {
        const size_t j = digit_run(i + 1);
        ref(tmpl.substr(i + 1, j - i - 1));
        i = j;
      } else {
        const size_t j = char_end(i + 1);
        lit(tmpl.substr(i, j - i));
        i = j;
      }
      continue;
    }
    if (d == '\\') {
      lit("\\");
      i += 2;
    } else if (d == 'n') {
      lit("\n");
      i += 2;
    } else if (d == 'r') {
      lit("\r");
      i += 2;
    } else if (d == 't') {
      lit("\t");
      i += 2;
    } else if (d == 'g') {
      if (i + 2 < len && (tmpl[i + 2] == '<' || tmpl[i + 2] == '\'')) {
        i = reference(i + 3, tmpl[i + 2] == '<' ? '>' : '\'');
      } else {
        i += 2;
      }
    } else if (is_digit(i + 1)) {
      const size_t j = digit_run(i + 1);
      ref(tmpl.substr(i + 1, j - i - 1));
      i = j;
    } else {
      const size_t j = char_end(i + 1);
      lit(tmpl.substr(i, j - i));
      i = j;
    }
  }
}

}  // namespace regex

}  // namespace kordal
