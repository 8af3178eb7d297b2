"""The engine's include graph points only down (tools/include_graph.py).

A module is a header with its source file; an include in either is an arrow.
An arrow back up (an engine including the facade that includes every engine)
makes a cycle, which these tests reject, and the checker must see one.
"""

import pathlib
import runpy
import subprocess
import sys
import types

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The checker is a script, not a package module: load its functions by path.
include_graph = types.SimpleNamespace(**runpy.run_path(str(ROOT / "tools" / "include_graph.py")))


def cycles(src):
    graph = include_graph.module_graph(src)
    return [c for c in include_graph.components(graph) if len(c) > 1]


def test_src_has_no_cycle():
    assert cycles(ROOT / "src") == []


def test_facade_is_above_the_engines():
    graph = include_graph.module_graph(ROOT / "src")
    level = include_graph.layers(graph, include_graph.components(graph))
    for engine in ("backtracker", "dfa", "onepass", "reverse", "strategy", "state", "parser"):
        assert level[engine] < level["regex"], engine


@pytest.mark.parametrize(
    "files, want",
    [
        # a.cpp -> b.hpp and b.hpp -> a.hpp: the arrow back up closes a cycle.
        ({"a.hpp": "", "a.cpp": '#include "a.hpp"\n#include "b.hpp"\n', "b.hpp": '#include "a.hpp"\n'},
         [["a", "b"]]),
        # Three modules in a loop, through headers only.
        ({"a.hpp": '#include "b.hpp"\n', "b.hpp": '#include "c.hpp"\n', "c.hpp": '#include "a.hpp"\n'},
         [["a", "b", "c"]]),
        # A module including its own header, and a diamond, are no cycle.
        ({"a.hpp": "", "a.cpp": '#include "a.hpp"\n', "b.hpp": '#include "a.hpp"\n',
          "c.hpp": '#include "a.hpp"\n', "d.cpp": '#include "b.hpp"\n#include "c.hpp"\n'}, []),
    ],
)
def test_checker_sees_cycles(tmp_path, files, want):
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    graph = include_graph.module_graph(tmp_path)
    assert cycles(tmp_path) == want
    for comp in want:
        for loop in include_graph.shortest_cycles(graph, comp):
            assert all(b in graph[a] for a, b in zip(loop, loop[1:] + loop[:1])), loop
    script = ROOT / "tools" / "include_graph.py"
    run = subprocess.run([sys.executable, str(script), str(tmp_path)], capture_output=True, text=True)
    assert run.returncode == (1 if want else 0)
