"""Long matches must work in the main thread and in threads with the default
stack size (the matcher keeps its backtracking on the heap), and a runaway
match must stop on a signal. Timings are reported by the failure messages,
never asserted tightly.
"""

import faulthandler
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import kordal_python as kordal

DEEP = [
    ("find", r"(?:ab)*c", "ab" * 1_000_000 + "c", (0, 2_000_001)),
    ("fullmatch", r"(a)*", "a" * 1_000_000, (0, 1_000_000)),
    ("find", r".*", "x" * 20_000_000, (0, 20_000_000)),
    ("find", r"(?:a|b)*c", "ab" * 500_000 + "c", (0, 1_000_001)),
    ("find", r"(?:a|bc)*d", "abc" * 300_000 + "d", (0, 900_001)),
    ("find", r"(?:(a)|b)*c", "ab" * 300_000 + "c", (0, 600_001)),
    ("find", r"(a|b)*?c", "ab" * 300_000 + "c", (0, 600_001)),
]


def run_deep(method, pattern, text):
    return getattr(kordal.Regex(pattern), method)(text)


@pytest.mark.parametrize("method,pattern,text,span", DEEP, ids=[d[1] for d in DEEP])
def test_deep_match_in_main_thread(method, pattern, text, span):
    assert run_deep(method, pattern, text).span == span


@pytest.mark.parametrize("method,pattern,text,span", DEEP[:4], ids=[d[1] for d in DEEP[:4]])
def test_deep_match_in_thread(method, pattern, text, span):
    result = {}

    def work():
        try:
            result["span"] = run_deep(method, pattern, text).span
        except BaseException as e:  # reported below
            result["error"] = e

    t = threading.Thread(target=work)
    t.start()
    t.join()
    assert result == {"span": span}


def test_million_entry_history():
    m = kordal.Regex(r"(a)*").fullmatch("a" * 1_000_000)
    caps = m.captures(1)
    assert len(caps) == 1_000_000 and caps[-1] == "a"


def test_deep_findall_split_replace():
    text = ("ab" * 100_000 + "c;") * 3
    r = kordal.Regex(r"(?:(a)|b)*c")
    assert len(r.findall(text)) == 3
    assert kordal.Regex(r"(?:(a)|b)*c;").split(text) == ["", "a"] * 3 + [""]
    assert r.replace_all(text, "x") == "x;x;x;"


def test_deep_partial_match():
    pm = kordal.Regex(r"(?:(a)|b)*c").find_partial("ab" * 200_000)
    assert pm.is_partial and (pm.start, pm.end) == (0, 400_000)
    # The first end-of-input event is inside group 1, entered at the end.
    assert (pm.group_state(1), pm.group(1)) == ("partial", "")


def interrupt(how):
    if how == "itimer":
        signal.setitimer(signal.ITIMER_REAL, 0.01)
    elif how == "thread":
        os.kill(os.getpid(), signal.SIGINT)
    else:
        subprocess.run(["kill", "-INT", str(os.getpid())], check=True)


@pytest.fixture
def alarm_raises():
    old = signal.signal(signal.SIGALRM, lambda *a: (_ for _ in ()).throw(KeyboardInterrupt))
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, old)


@pytest.fixture
def no_forced_switches():
    # The main thread then gives up the interpreter lock only where it blocks
    # or where a search lends it: a thread woken just before a search runs
    # only once the search is on.
    # A search that never lent the lock would hang the run: end it loudly.
    faulthandler.dump_traceback_later(120, exit=True)
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e6)
    yield
    sys.setswitchinterval(old)
    faulthandler.cancel_dump_traceback_later()


@pytest.mark.parametrize("how", ["itimer", "kill", "thread"])
# The lookahead keeps these exponential: regular patterns go to the DFA or the memoising VM.
@pytest.mark.parametrize("pattern,text", [
    (r"(x+x+)+(?=y)", "x" * 40 + "zy"),
    # deep first, so the poll happens with a long backtrack stack
    (r"(?:(a)|b)*(x+x+)+(?=y)", "ab" * 200_000 + "x" * 40 + "zy"),
], ids=["shallow", "deep"])
def test_signal_stops_runaway_match(alarm_raises, no_forced_switches, how, pattern, text):
    r = kordal.Regex(pattern)
    go = threading.Event()
    watcher = threading.Thread(target=lambda: (go.wait(), interrupt(how)), daemon=True)
    watcher.start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        go.set()
        r.find(text)
    elapsed = time.monotonic() - start
    watcher.join()
    assert elapsed < 10, elapsed
    # The module and the Regex stay usable.
    assert r.find("xxy") is not None


# The search runs in the main thread, where signals are handled, on a text no
# machine can finish (2^40 ways to split the run). With no forced switches the
# other thread gets the interpreter lock only where the main thread lends it:
# woken just before the search, it gives the lock up in each of three pipe
# round trips (blocking calls) and needs it back after each, and only then
# sends the signal that ends the search. So the search ends at all only if it
# lends the lock out, again and again.
LENDER_SCRIPT = """
import os, signal, sys, threading
import kordal_python as kordal
sys.setswitchinterval(1e6)
go = threading.Event()
woke = []
rd, wr = os.pipe()
def lender_user():
    go.wait()
    for _ in range(3):
        os.write(wr, b"x")
        os.read(rd, 1)
    woke.append(True)
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=lender_user, daemon=True).start()
r = kordal.Regex(r"(x+x+)+(?=y)")
try:
    go.set()
    r.find("x" * 40 + "zy")
    print("finished")
except KeyboardInterrupt:
    print("interrupted", len(woke))
"""


def test_other_threads_run_while_a_search_holds_no_lock():
    out = subprocess.run([sys.executable, "-c", LENDER_SCRIPT], capture_output=True, text=True,
                         check=True, timeout=120)
    assert out.stdout.split() == ["interrupted", "1"], out.stdout
