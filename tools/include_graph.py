#!/usr/bin/env python3
"""The include graph of src/, by module, and the arrows that point back up.

A module is a header and its source file (foo.hpp and foo.cpp): an include in
either is an arrow from the module to the included one. The engine is meant to
be a house whose arrows all point down, so the module graph must have no cycle.
This script prints each module's layer (0 for a module that includes nothing
of src/, else one more than the highest module it includes) with its arrows,
then every cycle, as the arrows that close it. Exit status 1 when there is a
cycle, so it can serve as a check.

Usage: tools/include_graph.py [--dot] [SRC_DIR]
"""

from __future__ import annotations

import argparse
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def module_graph(src: pathlib.Path) -> dict[str, set[str]]:
    """Module name -> the modules it includes (itself excluded)."""
    files = [p for p in src.iterdir() if p.suffix in (".hpp", ".cpp")]
    modules = {p.stem for p in files}
    graph: dict[str, set[str]] = {m: set() for m in modules}
    for p in files:
        for inc in INCLUDE.findall(p.read_text(encoding="utf-8")):
            target = pathlib.PurePosixPath(inc).stem
            if target in modules and target != p.stem:
                graph[p.stem].add(target)
    return graph


def components(graph: dict[str, set[str]]) -> list[list[str]]:
    """Strongly connected components (Tarjan's algorithm, iterative)."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    on_stack: set[str] = set()
    stack: list[str] = []
    out: list[list[str]] = []
    counter = 0
    for root in sorted(graph):
        if root in index:
            continue
        work = [(root, iter(sorted(graph[root])))]
        index[root] = low[root] = counter
        counter += 1
        stack.append(root)
        on_stack.add(root)
        while work:
            node, it = work[-1]
            advanced = False
            for nxt in it:
                if nxt not in index:
                    index[nxt] = low[nxt] = counter
                    counter += 1
                    stack.append(nxt)
                    on_stack.add(nxt)
                    work.append((nxt, iter(sorted(graph[nxt]))))
                    advanced = True
                    break
                if nxt in on_stack:
                    low[node] = min(low[node], index[nxt])
            if advanced:
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                comp = []
                while True:
                    m = stack.pop()
                    on_stack.discard(m)
                    comp.append(m)
                    if m == node:
                        break
                out.append(sorted(comp))
    return out


def layers(graph: dict[str, set[str]], comps: list[list[str]]) -> dict[str, int]:
    """Layer of each module; the modules of one cycle share a layer."""
    comp_of = {m: i for i, c in enumerate(comps) for m in c}
    level: dict[int, int] = {}
    # Tarjan emits components in reverse topological order: dependencies first.
    for i, comp in enumerate(comps):
        deps = {comp_of[t] for m in comp for t in graph[m]} - {i}
        level[i] = 1 + max((level[d] for d in deps), default=-1)
    return {m: level[comp_of[m]] for m in graph}


def shortest_cycles(graph: dict[str, set[str]], comp: list[str]) -> list[list[str]]:
    """For each arrow inside a component, the shortest cycle through it; distinct
    cycles only, each written from its first module in name order."""
    members = set(comp)
    found: set[tuple[str, ...]] = set()
    for m in comp:
        for t in sorted(graph[m] & members):
            # Breadth-first from t back to m.
            prev = {t: ""}
            frontier = [t]
            while frontier and m not in prev:
                nxt = []
                for u in frontier:
                    for v in sorted(graph[u] & members):
                        if v not in prev:
                            prev[v] = u
                            nxt.append(v)
                frontier = nxt
            back = [m]  # m, its predecessor, ..., t
            while back[-1] != t:
                back.append(prev[back[-1]])
            cycle = [m] + back[::-1][:-1]  # m -> t -> ... -> (back to m)
            k = cycle.index(min(cycle))
            found.add(tuple(cycle[k:] + cycle[:k]))
    return [list(c) for c in sorted(found, key=lambda c: (len(c), c))]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("src", nargs="?", default=pathlib.Path(__file__).parent.parent / "src",
                    type=pathlib.Path)
    ap.add_argument("--dot", action="store_true", help="print the graph in Graphviz form")
    args = ap.parse_args()
    graph = module_graph(args.src)
    comps = components(graph)
    level = layers(graph, comps)
    if args.dot:
        print("digraph includes {\n  rankdir=BT;")
        for m in sorted(graph):
            for t in sorted(graph[m]):
                print(f'  "{m}" -> "{t}";')
        print("}")
    else:
        for lv in range(max(level.values(), default=-1) + 1):
            for m in sorted(k for k, v in level.items() if v == lv):
                deps = ", ".join(sorted(graph[m]))
                print(f"{lv:2d} {m:12s} -> {deps}" if deps else f"{lv:2d} {m}")
    cycles = [c for c in comps if len(c) > 1]
    for c in cycles:
        print(f"cycle among: {' '.join(c)}", file=sys.stderr)
        for cyc in shortest_cycles(graph, c):
            print("  " + " -> ".join(cyc + cyc[:1]), file=sys.stderr)
    return 1 if cycles else 0


if __name__ == "__main__":
    sys.exit(main())
