"""Long matches must work in the main thread and in threads with the default
stack size (the matcher keeps its backtracking on the heap), and a runaway
match must stop on a signal. Timings are reported by the failure messages,
never asserted tightly.
"""

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


def interrupt_after(delay, how):
    if how == "itimer":
        signal.setitimer(signal.ITIMER_REAL, delay)
        return None
    if how == "thread":
        # A long search lets other threads take the interpreter lock now and then.
        timer = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        return timer
    return subprocess.Popen(["sh", "-c", f"sleep {delay}; kill -INT {os.getpid()}"])


@pytest.fixture
def alarm_raises():
    old = signal.signal(signal.SIGALRM, lambda *a: (_ for _ in ()).throw(KeyboardInterrupt))
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, old)


@pytest.mark.parametrize("how", ["itimer", "kill", "thread"])
# The lookahead keeps these exponential: regular patterns go to the DFA or the memoising VM.
@pytest.mark.parametrize("pattern,text", [
    (r"(x+x+)+(?=y)", "x" * 40 + "zy"),
    # deep first, so the poll happens with a long backtrack stack
    (r"(?:(a)|b)*(x+x+)+(?=y)", "ab" * 200_000 + "x" * 40 + "zy"),
], ids=["shallow", "deep"])
def test_signal_stops_runaway_match(alarm_raises, how, pattern, text):
    r = kordal.Regex(pattern)
    killer = interrupt_after(0.3, how)
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        r.find(text)
    elapsed = time.monotonic() - start
    if isinstance(killer, threading.Timer):
        killer.join()
    elif killer is not None:
        killer.wait()
    assert elapsed < 10, elapsed
    # The module and the Regex stay usable.
    assert r.find("xxy") is not None


# The search runs in the main thread, where signals are handled, on a text no
# machine can finish (2^40 ways to split the run). The other thread needs the
# interpreter lock back after every sleep; only once it has it three times does
# it send the signal that ends the search, so the search ends at all only if it
# lends the lock out.
LENDER_SCRIPT = """
import os, signal, threading, time
import kordal_python as kordal
woke = []
def sleeper():
    for _ in range(3):
        time.sleep(0.01)
    woke.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=sleeper, daemon=True).start()
try:
    kordal.Regex(r"(x+x+)+(?=y)").find("x" * 40 + "zy")
    print("finished")
except KeyboardInterrupt:
    print("interrupted", len(woke))
"""


def test_other_threads_run_while_a_search_holds_no_lock():
    out = subprocess.run([sys.executable, "-c", LENDER_SCRIPT], capture_output=True, text=True,
                         check=True, timeout=120)
    assert out.stdout.split() == ["interrupted", "1"], out.stdout
