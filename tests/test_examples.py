"""Each script in examples/ runs and prints what it should."""

import collections
import os
import pathlib
import re
import subprocess
import sys

import pytest

import kordal_python as kordal

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def run(name, *args, script=None):
    # The script and its worker processes must import the module this test run imports.
    env = dict(os.environ)
    module_dir = str(pathlib.Path(kordal.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    path = script or EXAMPLES / name
    done = subprocess.run([sys.executable, str(path), *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_quickstart():
    out = run("quickstart.py")
    assert "first pair: user = ada at bytes (11, 19)" in out
    assert "swapped:   ada=user login=action" in out
    assert "history:   ['10', '4', '1']" in out
    assert "spans:     (4, 9) bytes, (2, 6) code points" in out
    assert "typed '20x'          -> cannot match" in out


def test_log_parsing(tmp_path):
    log = tmp_path / "access.log"
    log.write_text(
        '10.0.0.1 - - [08/Dec/2026:10:00:01 +0000] "GET /a HTTP/1.1" 200 10\n'
        "garbage line\n"
        '10.0.0.2 - - [08/Dec/2026:10:00:02 +0000] "GET /b HTTP/1.1" 404 7\n'
        '10.0.0.1 - - [08/Dec/2026:10:00:03 +0000] "DELETE /é HTTP/2.0" 500 0\n',
        encoding="utf-8")
    out = run("log_parsing.py", log)
    assert out.splitlines() == [
        "3 requests", "  status 200: 1", "  status 404: 1", "  status 500: 1", "  bytes sent: 17",
        "  errors: GET /b -> 404; DELETE /é -> 500", "  busiest client: 10.0.0.1 (2 requests)"]
    assert run("log_parsing.py").startswith("5 requests\n")


@pytest.mark.parametrize("block", [1, 2, 7, 1000, 65536])
def test_streaming_gives_the_whole_text_matches_for_any_block_size(block):
    out = run("streaming.py", block, 400)
    assert out.endswith("same as one search over the whole text: True\n")
    assert "pressure  hPa     100 readings, 1001 to 1029" in out
    # What the stream holds between blocks is a reading or two, not the file.
    held = int(out.split("most text held: ")[1].split()[0])
    assert held < 64


def _corpus(tmp_path):
    files = {
        "a.txt": "alpha beta\ngamma alphabet",
        "sub/b.md": "no greek here",
        "sub/c.log": "é alpha\nalpha",
        "d.bin": "alpha (skipped: not a text suffix)",
    }
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text, encoding="utf-8")
    return tmp_path


def test_process_pool(tmp_path):
    out = run("process_pool.py", r"\balpha\w*", _corpus(tmp_path))
    lines = out.splitlines()
    assert lines[0] == "4 matches in 2 of 3 files"
    assert lines[1].endswith("a.txt: 2 (first at line 1: 'alpha')")
    assert lines[2].endswith("c.log: 2 (first at line 1: 'alpha')")


def test_dask(tmp_path):
    if sys.version_info < (3, 10):  # the test extra leaves Dask out there
        pytest.importorskip("dask.bag")
    corpus = _corpus(tmp_path)
    files = [corpus / "a.txt", corpus / "sub" / "c.log"]
    out = run("dask_search.py", r"\w+", *files)
    counts = collections.Counter(
        w.lower() for f in files for w in re.findall(r"\w+", f.read_text(encoding="utf-8")))
    top = sorted(counts.items(), key=lambda kv: (kv[1], kv[0]), reverse=True)[:5]
    assert out.splitlines() == [f"{n:6} {w}" for w, n in top]


def test_typed_api_tour():
    # The same file mypy --strict checks in .ci/packaging.sh; here it checks the module.
    out = run(None, script=EXAMPLES.parent / "tests" / "typing" / "api_usage.py")
    assert out == f"api usage ok: {kordal.__version__}\n"
