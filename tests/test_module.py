"""The module object, its functions, and the argument conventions every callable shares."""

import inspect
import sys
import types

import pytest

import kordal_python as k

EXPECTED_ALL = [
    "escape", "escape_special_only", "escape_literal_spaces", "is_match", "parse_flags",
    "compile", "Regex", "Match", "PartialMatch", "IGNORECASE", "MULTILINE", "DOTALL", "UNICODE",
    "ASCII", "VERBOSE", "FULLCASE", "WORD", "LOCALE", "VERSION0", "VERSION1", "__version__",
]

FLAG_VALUES = {
    "IGNORECASE": 1, "MULTILINE": 2, "DOTALL": 4, "UNICODE": 8, "ASCII": 16, "VERBOSE": 32,
    "FULLCASE": 64, "WORD": 128, "LOCALE": 256, "VERSION0": 0x10000, "VERSION1": 0x20000,
}


class Index:
    """An object that is an integer only through __index__."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def notes(exc_info):
    return getattr(exc_info.value, "__notes__", [])


# Exception notes exist from Python 3.11 on; earlier interpreters get none.
HAS_NOTES = sys.version_info >= (3, 11)


def note(param):
    return [f"while processing '{param}'"] if HAS_NOTES else []


# --- module object -----------------------------------------------------------------------------

def test_all_lists_public_names_in_order():
    assert k.__all__ == EXPECTED_ALL
    assert type(k.__all__) is list
    assert all(type(n) is str for n in k.__all__)
    for name in k.__all__:
        assert hasattr(k, name)


def test_version_and_flag_constants():
    assert k.__version__ == "0.1.5"
    for name, value in FLAG_VALUES.items():
        v = getattr(k, name)
        assert type(v) is int and v == value, name


# Public names beside __all__, which keeps exactly the names above.
ADDITIONS = {"time_limit", "Stream", "re"}


def test_no_internal_names_leak_into_the_namespace():
    public = {n for n in dir(k) if not n.startswith("_")}
    # `re` is the submodule kordal_python.re.
    assert public == set(EXPECTED_ALL) - {"__version__"} | ADDITIONS
    assert isinstance(k.re, types.ModuleType)
    # The only private names are the ones pickle needs to rebuild results.
    private = {n for n in dir(k) if n.startswith("_") and not n.startswith("__")}
    assert private == {"_restore_match", "_restore_partial_match"}


def test_module_docstring():
    title, blank, *rest = k.__doc__.split("\n")
    assert title == "kordal \u2014 an advanced regular expression engine (Python bindings)."
    assert blank == ""
    body = " ".join(rest)
    for role in (":class:`Regex`", ":meth:`Regex.find`", ":meth:`Regex.is_match`",
                 ":meth:`Regex.find_partial`", ":meth:`Regex.replace`",
                 ":meth:`Regex.replace_all`", ":meth:`Regex.split`"):
        assert role in body


@pytest.mark.parametrize("cls", [k.Regex, k.Match, k.PartialMatch])
def test_classes_are_immutable_builtins_without_dict_or_weakrefs(cls):
    assert f"{cls.__module__}.{cls.__qualname__}" == f"builtins.{cls.__name__}"
    if sys.version_info >= (3, 10):  # 3.9 has no immutable heap types
        with pytest.raises(TypeError):
            cls.extra = 1
    assert "__dict__" not in dir(cls)
    assert cls.__weakrefoffset__ == 0
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", [k.Match, k.PartialMatch])
def test_result_classes_cannot_be_instantiated(cls):
    with pytest.raises(TypeError, match=rf"^cannot create 'builtins\.{cls.__name__}' instances$"):
        cls()


def test_regex_instances_reject_new_attributes():
    r = k.Regex("a")
    with pytest.raises(AttributeError):
        r.extra = 1
    with pytest.raises(AttributeError):
        r.pattern = "b"


# --- docstrings and signatures -----------------------------------------------------------------

FUNCTION_SIGNATURES = [
    (k.escape, "(s)"),
    (k.escape_special_only, "(s)"),
    (k.escape_literal_spaces, "(s)"),
    (k.is_match, "(pattern, haystack)"),
    (k.parse_flags, "(flag_str)"),
    (k.compile, "(pattern, flags=None)"),
    (k.Regex, "(pattern, flags=None)"),
    (k.Regex("a").find_at, "(haystack, start)"),
    (k.Regex("a").replace_all, "(haystack, repl)"),
    (k.Regex("a").dump, "()"),
    (k.Match.group, "(self, /, *args)"),
    (k.Match.span_of, "(self, /, index=0)"),
    (k.PartialMatch.group_state, "(self, /, index=0)"),
]


@pytest.mark.parametrize("fn,sig", FUNCTION_SIGNATURES)
def test_text_signatures(fn, sig):
    if fn is k.Regex and sys.version_info < (3, 10):
        pytest.skip("Python 3.9 reads no text signature from a heap type's docstring")
    assert str(inspect.signature(fn)) == sig


def test_function_docstrings():
    assert k.escape.__doc__ == (
        "Escape ``s`` so it matches literally as a regex pattern (aggressive mode).")
    assert k.escape_special_only.__doc__ == (
        "Like :func:`escape` but only escapes regex metacharacters, leaving other\n"
        "punctuation alone.")
    assert k.escape_literal_spaces.__doc__ == "Like :func:`escape` but leaves spaces unescaped."
    assert k.is_match.__doc__ == (
        "Convenience: ``True`` if ``pattern`` matches anywhere in ``haystack``.\n\n"
        ":raises ValueError: if ``pattern`` is syntactically invalid.")
    assert k.parse_flags.__doc__ == (
        "Convert a flag string such as ``\"ims\"`` into a flags bitset (a bitwise OR\n"
        "of the module-level flag constants).\n\n"
        "Recognized letters (case-insensitive): ``i m s u a x f w l``.\n"
        "The ``RegExp``-style ``g``, ``y``, ``d`` are accepted but ignored\n"
        "(familiarity).\n\n"
        ":raises ValueError: on an unknown flag character.")
    assert k.compile.__doc__ == (
        "Compile ``pattern`` into a :class:`Regex`.\n\n"
        ":raises ValueError: if ``pattern`` is syntactically invalid.")


def test_functions_are_bound_to_the_module():
    for name in EXPECTED_ALL[:6]:
        fn = getattr(k, name)
        assert fn.__self__ is k
        assert fn.__module__ == "kordal_python"


# --- parse_flags -------------------------------------------------------------------------------

@pytest.mark.parametrize("text,value", [
    ("", 0), ("IMS", 7), ("ims", 7), ("gyd", 0), ("GYD", 0), ("ii", 1), ("u", 8), ("a", 16),
    ("x", 32), ("f", 64), ("w", 128), ("l", 256), ("imsuaxfwl", 0x1FF), ("iG", 1),
])
def test_parse_flags_values(text, value):
    assert k.parse_flags(text) == value


@pytest.mark.parametrize("text,shown", [
    ("Q", "'q'"), ("i s", "' '"), ("i1", "'1'"), ("\u00c9", "'\u00c9'"), ("\u0130", "'\u0130'"),
    ("i\n", "'\\n'"), ("-", "'-'"),
])
def test_parse_flags_rejects_unknown_characters(text, shown):
    with pytest.raises(ValueError) as info:
        k.parse_flags(text)
    assert str(info.value) == "unknown flag character " + shown
    assert len(info.value.args) == 1


# --- escaping ----------------------------------------------------------------------------------

def test_escape_modes():
    assert k.escape("a b") == "a\\ b"
    assert k.escape_literal_spaces("a b") == "a b"
    for fn in (k.escape_special_only, k.escape_literal_spaces):
        assert fn("#=") == "#="
    assert k.escape("#=") == "\\#\\="
    assert k.escape("") == ""


@pytest.mark.parametrize("fn", [k.escape, k.escape_special_only, k.escape_literal_spaces])
def test_escaped_text_matches_itself(fn):
    text = "a.b*c(d)[e]{f}|g^h$i?j+k\\l é\u4e2d"
    pattern = fn(text)
    m = k.compile(pattern).fullmatch(text)
    assert m is not None and m.matched == text


# --- compile, is_match and map_err -------------------------------------------------------------

@pytest.mark.parametrize("pattern,message", [
    ("(", "kordal error at position 0: missing closing ')'"),
    ("a)b", "kordal error at position 1: unexpected ')'"),
    ("\u00e9)", "kordal error at position 2: unexpected ')'"),
    ("(?P", "kordal error at position 3: bad (?P...) extension"),
    ("[z-a]", "kordal error at position 1: bad range 'z'-'a'"),
])
def test_compile_errors_are_value_errors_with_position(pattern, message):
    for make in (k.compile, k.Regex, lambda p: k.is_match(p, "x")):
        with pytest.raises(ValueError) as info:
            make(pattern)
        assert type(info.value) is ValueError
        assert info.value.args == (message,)


def test_is_match_searches_anywhere():
    assert k.is_match("", "") is True
    assert k.is_match("b", "abc") is True
    assert k.is_match("d", "abc") is False


def test_compile_equals_regex_constructor():
    for args in (("a",), ("a", None), ("a", k.IGNORECASE), ("(?i)a(b)", 0)):
        assert repr(k.compile(*args)) == repr(k.Regex(*args))
    assert k.compile("a", None).flags == k.compile("a").flags
    assert type(k.compile("a")) is k.Regex


# --- argument conventions ----------------------------------------------------------------------

@pytest.mark.parametrize("value,expected", [
    (True, 0x20009), (False, 0x20008), (Index(2), 0x2000A), (None, 0x20008), (0, 0x20008),
    (k.VERSION0, 0x10008),
])
def test_flags_accept_int_bool_index_and_none(value, expected):
    assert k.compile("a", value).flags == expected
    assert k.Regex("a", flags=value).flags == expected


@pytest.mark.parametrize("value", [-1, 2**32, 2**63 - 1, -(2**63), Index(-5)])
def test_flags_out_of_range(value):
    with pytest.raises(OverflowError) as info:
        k.compile("a", value)
    assert str(info.value) == "out of range integral type conversion attempted"
    assert notes(info) == note("flags")


@pytest.mark.parametrize("value", [2**64, -(2**64), 2**100])
def test_flags_beyond_64_bits_fail_in_the_interpreter_first(value):
    with pytest.raises(OverflowError) as info:
        k.compile("a", value)
    assert str(info.value) != "out of range integral type conversion attempted"
    assert notes(info) == note("flags")


@pytest.mark.parametrize("value", [1.0, "1", b"1", []])
def test_flags_of_wrong_type(value):
    with pytest.raises(TypeError) as info:
        k.compile("a", value)
    assert notes(info) == note("flags")


class Text(str):
    pass


def test_str_subclasses_are_texts():
    r = k.compile(Text("a(b)"))
    assert r.pattern == "a(b)" and type(r.pattern) is str
    assert k.escape(Text("a b")) == "a\\ b"
    assert k.parse_flags(Text("i")) == 1


@pytest.mark.parametrize("call,param", [
    (lambda v: k.compile(v), "pattern"),
    (lambda v: k.Regex(v), "pattern"),
    (lambda v: k.escape(v), "s"),
    (lambda v: k.escape_literal_spaces(s=v), "s"),
    (lambda v: k.parse_flags(v), "flag_str"),
    (lambda v: k.is_match("a", v), "haystack"),
    (lambda v: k.compile("a").find(v), "haystack"),
    (lambda v: k.compile("a").replace("a", v), "repl"),
    (lambda v: k.compile("a").group_index(v), "name"),
])
@pytest.mark.parametrize("bad", [b"a", 1, None, ["a"]])
def test_non_str_texts_are_type_errors_with_note(call, param, bad):
    with pytest.raises(TypeError) as info:
        call(bad)
    assert notes(info) == note(param)
    assert "str" in str(info.value)


@pytest.mark.parametrize("call,param", [
    (lambda v: k.compile(v), "pattern"),
    (lambda v: k.escape(v), "s"),
    (lambda v: k.compile("a").find(v), "haystack"),
    (lambda v: k.compile("a").split(haystack=v), "haystack"),
])
def test_lone_surrogate_is_the_interpreters_encode_error(call, param):
    with pytest.raises(UnicodeEncodeError) as info:
        call("a\ud800")
    assert notes(info) == note(param)


def test_note_is_not_repeated_across_calls():
    bad = b"x"
    for _ in range(2):
        with pytest.raises(TypeError) as info:
            k.escape(bad)
        assert notes(info) == note("s")


def test_negative_offset_is_the_interpreters_overflow_error():
    with pytest.raises(OverflowError) as info:
        k.compile("a").find_at("a", -1)
    assert str(info.value) != "out of range integral type conversion attempted"
    assert notes(info) == note("start")


@pytest.mark.parametrize("call,message", [
    (lambda: k.escape(), "escape() missing 1 required positional argument: 's'"),
    (lambda: k.escape("a", "b"), "escape() takes 1 positional argument but 2 were given"),
    (lambda: k.escape("a", s="b"), "escape() got multiple values for argument 's'"),
    (lambda: k.escape(x="a"), "escape() got an unexpected keyword argument 'x'"),
    (lambda: k.is_match("a"), "is_match() missing 1 required positional argument: 'haystack'"),
    (lambda: k.is_match(),
     "is_match() missing 2 required positional arguments: 'pattern' and 'haystack'"),
    (lambda: k.compile(), "compile() missing 1 required positional argument: 'pattern'"),
    (lambda: k.compile("a", 0, 1),
     "compile() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: k.compile("a", pattern="b"), "compile() got multiple values for argument 'pattern'"),
    (lambda: k.compile(flags=0), "compile() missing 1 required positional argument: 'pattern'"),
    (lambda: k.Regex(), "Regex() missing 1 required positional argument: 'pattern'"),
    (lambda: k.Regex("a", flag=1), "Regex() got an unexpected keyword argument 'flag'"),
    (lambda: k.Regex.__new__(k.Regex, "a", 0, 1),
     "Regex() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: k.compile("a").find(), "Regex.find() missing 1 required positional argument: 'haystack'"),
    (lambda: k.compile("a").find("a", "b"),
     "Regex.find() takes 1 positional argument but 2 were given"),
    (lambda: k.compile("a").find(text="a"),
     "Regex.find() got an unexpected keyword argument 'text'"),
    (lambda: k.compile("a").find_at("a", 0, start=1),
     "Regex.find_at() got multiple values for argument 'start'"),
    (lambda: k.compile("a").dump(1), "Regex.dump() takes 0 positional arguments but 1 was given"),
    (lambda: k.compile("a").group_names(x=1),
     "Regex.group_names() got an unexpected keyword argument 'x'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert notes(info) == []


def test_every_parameter_can_be_given_by_keyword():
    r = k.compile(pattern="a(b)", flags=None)
    assert r.capture_count == 1
    assert k.Regex(flags=1, pattern="a").flags & 1
    assert k.escape(s="a b") == "a\\ b"
    assert k.parse_flags(flag_str="m") == 2
    assert k.is_match(haystack="", pattern="") is True
    assert r.group_index(name="x") is None
    assert r.replace(repl="-", haystack="z") == "z"
    assert r.find_at(start=0, haystack="") is None


def test_internal_error_class_is_hidden():
    assert not any("Internal" in n for n in dir(k))


def _fresh_module(prepare):
    import importlib.util

    origin = importlib.util.spec_from_file_location("kordal_python", k.__file__)
    mod = importlib.util.module_from_spec(origin)
    prepare(mod)
    origin.loader.exec_module(mod)
    return mod


def test_execution_appends_to_an_existing_all_list():
    mod = _fresh_module(lambda m: setattr(m, "__all__", ["before"]))
    assert mod.__all__ == ["before"] + EXPECTED_ALL


def test_execution_fails_when_all_is_not_a_list():
    with pytest.raises(TypeError):
        _fresh_module(lambda m: setattr(m, "__all__", ("x",)))


def test_a_second_module_instance_works_beside_the_first():
    mod = _fresh_module(lambda m: None)
    r = mod.Regex("a(b)")
    assert repr(r) == 'Regex(pattern="a(b)", flags=0x20008, groups=1)'
    assert k.Regex("a").flags == 0x20008
    # Each module object has its own classes, and its results are of them.
    assert mod.Regex is not k.Regex and type(r) is mod.Regex
    assert type(r.find("xab")) is mod.Match and mod.Match is not k.Match
    assert type(r.find_partial("xa")) is mod.PartialMatch
    assert type(list(r.finditer("ab"))[0]) is mod.Match
    assert type(r.stream().feed("ab")[0]) is mod.Match
    assert mod.is_match("b", "ab") and mod.compile("a(b)").capture_count == 1
    assert type(k.Regex("a").find("a")) is k.Match


def test_a_module_instance_is_freed_with_its_classes():
    import gc
    import weakref

    mod = _fresh_module(lambda m: None)
    assert mod.is_match("a", "a")  # fills its pattern cache
    m = mod.Regex("(a)").find("a")
    gone = weakref.ref(mod)
    del mod
    gc.collect()
    assert gone() is not None  # the match holds its class, which holds the module
    assert m.group(1) == "a" and m.span_of(1) == (0, 1)
    del m
    gc.collect()
    assert gone() is None
    assert k.Regex("(a)").find("a").group(1) == "a"


SUBINTERPRETER_CODE = """
import pickle
import kordal_python as k
import kordal_python.re as kre
m = k.Regex(r"(\\w+)=(\\w+)").find("a=b")
assert m.group(2) == "b" and type(m) is k.Match, m
assert pickle.loads(pickle.dumps(m)).groups == m.groups
assert k.is_match("a", "a") and list(k.Regex("a").finditer("aa"))[1].span == (1, 2)
assert kre.search("(b)", "ab").span(1) == (1, 2) and kre.sub("a", "x", "aa") == "xx"
try:
    kre.compile("(")
except kre.error as e:
    assert e.pos == 0 and e.msg == "missing closing ')'", (e.pos, e.msg)
else:
    raise AssertionError("no error")
"""


def _after_subinterpreter_checks():
    # The main interpreter's module is untouched by the other's end.
    assert type(k.Regex("(a)").find("a")) is k.Match
    import kordal_python.re as kre

    assert kre.search("(a)", "a").group(1) == "a"


def test_module_works_in_a_subinterpreter_sharing_the_lock():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("this Python has no run_in_subinterp")
    for _ in range(2):  # the second one imports the extension again
        assert testcapi.run_in_subinterp(SUBINTERPRETER_CODE) == 0
    _after_subinterpreter_checks()


def test_module_works_in_an_isolated_subinterpreter():
    if sys.version_info < (3, 12):
        pytest.skip("interpreters with a lock each are newer than this Python")
    try:
        import _interpreters as interpreters
    except ImportError:
        interpreters = pytest.importorskip("_xxsubinterpreters")
    iid = interpreters.create()
    try:
        if hasattr(interpreters, "exec"):
            failure = interpreters.exec(iid, SUBINTERPRETER_CODE)
            assert failure is None, failure
        else:
            interpreters.run_string(iid, SUBINTERPRETER_CODE)
    finally:
        interpreters.destroy(iid)
    _after_subinterpreter_checks()
