"""A short tour of kordal: search, iterate, split, replace, partial matching."""

import kordal_python as kordal

log = "2026-12-08 user=ada action=login\n2026-12-08 user=bob action=logout\n"

pair = kordal.compile(r"(?P<key>\w+)=(?P<value>\w+)")
m = pair.find(log)
assert m is not None
print("first pair:", m.group("key"), "=", m.group("value"), "at bytes", m.span)

print("all pairs:", [(x["key"], x["value"]) for x in pair.finditer(log)])
print("swapped:  ", pair.replace_all("user=ada action=login", "${value}=${key}"))
print("upper:    ", pair.replace_all("user=ada", lambda x: x.matched.upper()))
print("fields:   ", kordal.Regex(r"\s*,\s*").split("a , b,c ,d"))

# Capture histories: every iteration of a repeated group is kept.
version = kordal.Regex(r"(?:(\d+)\.?)+").find("version 10.4.1")
assert version is not None
print("history:  ", version.captures(1))

# Offsets are bytes of the UTF-8 text; char_span gives str indexes.
word = kordal.Regex(r"\w+").find("→ café")
assert word is not None
print("spans:    ", word.span, "bytes,", word.char_span(), "code points")

# Partial matching: is this text a prefix of something that could still match?
date = kordal.Regex(r"\d{4}-\d{2}-\d{2}")
for typed in ["2026-1", "2026-12-08", "20x"]:
    p = date.find_partial(typed)
    print(f"typed {typed!r:14} ->", p.status if p else "cannot match")
