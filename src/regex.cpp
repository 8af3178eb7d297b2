// Placeholder until the matcher lands: compiles through the parser, finds
// nothing.
#include "regex.hpp"

#include "parser.hpp"

namespace kordal {

struct State {};
struct Analysis {};

Regex::Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;
Regex::~Regex() = default;

Result<Regex> Regex::new_with_flags(std::string_view pattern, uint32_t f) {
  if ((f & 0x118) == 0) f |= flags::UNICODE;
  Parser p(pattern, f & 0x1ff);
  Result<ParseOutput> r = p.run();
  if (!r.ok()) return r.error();
  if ((f & 0x30000) == 0) f |= flags::VERSION1;
  Regex re;
  re.pattern_ = std::string(pattern);
  re.tree_ = std::make_unique<Node>(std::move(r.value().tree));
  re.names_ = std::make_shared<const Names>(std::move(r.value().names));
  re.group_count_ = r.value().group_count;
  re.flags_ = f;
  return re;
}

std::string Regex::dump() const {
  std::string out;
  tree_->dump(out, 0);
  return out;
}

Status Regex::is_match(std::string_view, bool& out, const SearchControl&) const {
  out = false;
  return Status::Ok;
}
Status Regex::find(std::string_view, std::optional<Match>& out, const SearchControl&) const {
  out.reset();
  return Status::Ok;
}
Status Regex::find_at(std::string_view, size_t, std::optional<Match>& out,
                      const SearchControl&) const {
  out.reset();
  return Status::Ok;
}
Status Regex::match_at_start(std::string_view, std::optional<Match>& out,
                             const SearchControl&) const {
  out.reset();
  return Status::Ok;
}
Status Regex::fullmatch(std::string_view, std::optional<Match>& out, const SearchControl&) const {
  out.reset();
  return Status::Ok;
}
Status Regex::find_partial(std::string_view, std::optional<PartialMatch>& out,
                           const SearchControl&) const {
  out.reset();
  return Status::Ok;
}
Status Regex::replace(std::string_view text, std::string_view, std::string& out,
                      const SearchControl&) const {
  out = std::string(text);
  return Status::Ok;
}
Status Regex::replace_all(std::string_view text, std::string_view, std::string& out,
                          const SearchControl&) const {
  out = std::string(text);
  return Status::Ok;
}

FindIter::FindIter(const Regex& re, std::string_view text) : re_(re), text_(text) {}
FindIter::~FindIter() = default;
Status FindIter::next(std::optional<Match>& out, const SearchControl&) {
  out.reset();
  return Status::Ok;
}

SplitIter::SplitIter(const Regex& re, std::string_view text) : re_(re), text_(text) {}
SplitIter::~SplitIter() = default;
Status SplitIter::next(std::optional<std::string_view>& out, const SearchControl&) {
  if (done_) {
    out.reset();
  } else {
    out = text_;
    done_ = true;
  }
  return Status::Ok;
}

namespace regex {
void expand(std::string_view tmpl, const Match&, std::string& out) { out += tmpl; }
std::string expand(std::string_view tmpl, const Match& m) {
  std::string out;
  expand(tmpl, m, out);
  return out;
}
void append_group(std::string&, const Match&, std::string_view) {}
}  // namespace regex

}  // namespace kordal
