"""Every public name of kordal_python, used the way a typed program would.

Two jobs: `mypy --strict` over this file checks that the installed type stubs
describe the module (a wrong or missing annotation fails the check), and
running it checks the installed module itself (each line asserts what it
gets). .ci/packaging.sh does both against a freshly installed wheel and sdist.
"""

import copy
import pickle
import re
from typing import Callable, Dict, Iterator, List, Optional, Tuple

import kordal_python as kordal
from kordal_python import Match, PartialMatch, Regex

version: str = kordal.__version__
names: List[str] = kordal.__all__
assert version and "Regex" in names

flags: int = (kordal.IGNORECASE | kordal.MULTILINE | kordal.DOTALL | kordal.UNICODE | kordal.ASCII
              | kordal.VERBOSE | kordal.FULLCASE | kordal.WORD | kordal.LOCALE | kordal.VERSION0
              | kordal.VERSION1)
assert flags == 0x301FF
assert kordal.parse_flags("ims") == 7
assert kordal.escape("a.b c#") == "a\\.b\\ c\\#"
assert kordal.escape_special_only("a.b c#") == "a\\.b\\ c#"
assert kordal.escape_literal_spaces("a.b c#") == "a\\.b c#"
assert kordal.is_match(r"\d", "a1")

r: Regex = kordal.compile(r"(?P<key>\w+)=(?P<value>\w+)", kordal.IGNORECASE)
r2: Regex = Regex("é(x)?", re.IGNORECASE)
pattern: str = r.pattern
rflags: int = r.flags
count: int = r.capture_count
assert (pattern, rflags & 1, count) == (r"(?P<key>\w+)=(?P<value>\w+)", 1, 2)
assert sorted(r.group_names()) == ["key", "value"]
index: Optional[int] = r.group_index("value")
assert index == 2
assert r.is_match("a=1") and r2.is_match("É")
dump: str = r.dump()
assert dump.startswith("Sequence")

found: Optional[Match] = r.find("set x=10 now")
assert found is not None
m: Match = found
assert r.find_at("a=1 b=2", 3) is not None
assert r.match_at_start("a=1") is not None
assert r.fullmatch("a=1 ") is None
every: List[Match] = r.findall("a=1 b=2")
lazy: Iterator[Match] = r.finditer("a=1 b=2")
assert [x.matched for x in lazy] == [x.matched for x in every]
upper: Callable[[Match], str] = lambda x: x.matched.upper()
assert r.replace("a=1 b=2", "$2=$1") == "1=a b=2"
assert r.replace_all("a=1 b=2", upper) == "A=1 B=2"
assert r.split("a=1,b=2") == ["", "a", "1", ",", "b", "2", ""]

matched: str = m.matched
assert (matched, m.group0, m.input) == ("x=10", "x=10", "set x=10 now")
start: int = m.start
end: int = m.end
span: Tuple[int, int] = m.span
assert (start, end, span, m.capture_count) == (4, 8, (4, 8), 2)
groups: List[Optional[str]] = m.groups
named: Dict[str, str] = m.named_groups
history: List[List[str]] = m.all_captures
by_name: Dict[str, List[str]] = m.captures_dict
assert groups == ["x=10", "x", "10"] and named == {"key": "x", "value": "10"}
assert history == [["x=10"], ["x"], ["10"]] and by_name["key"] == ["x"]
one: Optional[str] = m.group(1)
several: Tuple[Optional[str], ...] = m.group(1, "value")
assert (one, several, m.group()) == ("x", ("x", "10"), ("x=10", "x", "10"))
assert m[0] == "x=10" and m["key"] == "x" and len(m) == 3
assert m.captures(1) == ["x"] and m.captures_by_name("value") == ["10"]
whole: Tuple[int, int] = m.span_of()
part: Optional[Tuple[int, int]] = m.span_of(2)
chars: Tuple[int, int] = m.char_span()
assert (whole, part, chars, m.char_span(1)) == ((4, 8), (6, 8), (4, 8), (4, 5))
assert (m.start_of(1), m.end_of(2)) == (4, 8)
gd: Dict[str, Optional[str]] = m.groupdict()
gd_default: Dict[str, str] = m.groupdict("")
assert gd == gd_default == {"key": "x", "value": "10"}
last: Optional[int] = m.lastindex
last_name: Optional[str] = m.lastgroup
assert (last, last_name) == (2, "value")
assert m.expand("${value}:$1") == "10:x"

p: Optional[PartialMatch] = Regex(r"(\d{4})-(\d\d)").find_partial("on 2026-1")
assert p is not None
status: str = p.status
assert (status, p.is_full, p.is_partial, p.matched) == ("partial", False, True, "2026-1")
assert (p.start, p.end, p.capture_count) == (3, 9, 2)
assert (p.group(2), p.named_group("none"), p.group_state(2)) == ("1", None, "partial")
pspan: Tuple[int, int] = p.char_span()
assert pspan == (3, 9)

for obj in (r, m, p):
    assert copy.copy(obj) is obj and copy.deepcopy(obj) is obj
r_back: Regex = pickle.loads(pickle.dumps(r))
m_back: Match = pickle.loads(pickle.dumps(m))
p_back: PartialMatch = pickle.loads(pickle.dumps(p))
assert (repr(r_back), repr(m_back), repr(p_back)) == (repr(r), repr(m), repr(p))
assert m_back.groups == m.groups and p_back.group(1) == "2026"
print("api usage ok:", version)
