"""The module fuzz harness as ordinary tests: a fixed-seed random run, the
hostile-input storm from eight threads (in a subprocess, so that a dying
interpreter is a failing exit code rather than a dead test run), and the
replay of every committed fuzz input through the module."""

import pathlib
import subprocess
import sys
import warnings

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
FUZZ = ROOT / "fuzz"
sys.path.insert(0, str(FUZZ))

import fuzz_module  # noqa: E402


def run_harness(*args):
    proc = subprocess.run([sys.executable, str(FUZZ / "fuzz_module.py"), *args],
                          capture_output=True, text=True, timeout=240)
    return proc.returncode, proc.stdout + proc.stderr


@pytest.mark.parametrize("threads,count", [(1, 3000), (8, 300)])
def test_random_inputs_raise_only_designed_exceptions(threads, count):
    code, out = run_harness("--random", str(count), "--seed", "20261208", "--threads",
                            str(threads))
    assert code == 0, out[-6000:]
    assert f"{threads * count} inputs, 0 failures" in out


def inputs(sub):
    return sorted(p for p in (FUZZ / sub).glob("*") if p.is_file() and not p.name.startswith("."))


# What reads each kind of committed input; a regressions/ directory missing
# here fails below rather than going unreplayed.
READERS = {"module": fuzz_module.test_one_input, "regex": fuzz_module.engine_case}


def test_every_regression_directory_has_a_reader():
    found = {p.name for p in (FUZZ / "regressions").iterdir() if p.is_dir()}
    assert "regex" in found
    assert found <= set(READERS), found - set(READERS)


@pytest.mark.parametrize("sub,case", [
    *[(f"regressions/{name}", reader) for name, reader in sorted(READERS.items())
      if (FUZZ / "regressions" / name).is_dir()],
    ("corpus", fuzz_module.engine_case),
])
def test_committed_inputs_replay_through_the_module(sub, case):
    files = inputs(sub)
    # An emptied or misnamed directory would replay nothing and pass.
    assert files, f"no inputs in fuzz/{sub}"
    if sub == "corpus":
        assert len(files) >= 100
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # hostile __index__ results warn by design
        for path in files:
            fuzz_module.run_budgeted(path.read_bytes(), 5.0, case)


def test_harness_decodes_like_the_engine_target():
    assert fuzz_module.valid_utf8(b"a\xc3(x\xf0\x9f\x98\x80\xed\xa0\x80\xc0\x80") == \
        "a?(x\U0001F600?????"


PREDICTIONS = [
    ("text", b"a", TypeError),
    ("text", "\ud800", UnicodeEncodeError),
    ("text", fuzz_module.HostileStr("ok"), None),
    ("flags", None, None),
    ("flags", 2**32, OverflowError),
    ("flags", fuzz_module.HostileIndex(), fuzz_module.Hostile),
    ("index", -1, OverflowError),
    ("index", fuzz_module.WrongIndex(), TypeError),
    ("index", True, None),
    ("index", 1.5, TypeError),
]


# Explicit ids: deriving them would call the hostile objects' methods.
@pytest.mark.parametrize("kind,value,expected", PREDICTIONS,
                         ids=[f"{kind}-{type(v).__name__}-{i}"
                              for i, (kind, v, _) in enumerate(PREDICTIONS)])
def test_argument_predictions_match_the_module(kind, value, expected):
    # The storm trusts these predictions; check them against real calls once.
    import kordal_python as k
    r = k.Regex("a")
    call = {
        "text": lambda v: r.find(v),
        "flags": lambda v: k.Regex("a", v),
        "index": lambda v: r.find_at("a", v),
    }[kind]
    assert fuzz_module.predict(kind, value) == expected
    if expected is None:
        call(value)
    else:
        with pytest.raises(expected):
            call(value)
