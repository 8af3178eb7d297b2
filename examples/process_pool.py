"""Search a corpus of files on every core with concurrent.futures.ProcessPoolExecutor.

Usage: python examples/process_pool.py [PATTERN [PATH ...]]

PATHs are files or directories (searched recursively for *.txt, *.md, *.py,
*.log); the defaults search this repository's Markdown and Python files for
function definitions. The compiled Regex is sent to the worker processes
(it pickles to its pattern and flags), each worker searches whole files, and
the Match objects it finds come back pickled, offsets and groups intact.
"""

import concurrent.futures
import pathlib
import sys
from typing import Dict, List, Sequence, Tuple

import kordal_python as kordal

SUFFIXES = {".txt", ".md", ".py", ".log"}


def files_under(paths: Sequence[str]) -> List[pathlib.Path]:
    found: List[pathlib.Path] = []
    for p in map(pathlib.Path, paths):
        if p.is_dir():
            found.extend(f for f in sorted(p.rglob("*")) if f.suffix in SUFFIXES and f.is_file())
        elif p.is_file():
            found.append(p)
    return found


def search_file(regex: kordal.Regex, path: pathlib.Path) -> Tuple[str, List[kordal.Match]]:
    """Runs in a worker process: every match in one file."""
    text = path.read_text(encoding="utf-8", errors="replace")
    return str(path), regex.findall(text)


def search(regex: kordal.Regex, files: Sequence[pathlib.Path], workers: int = 2) -> Dict[str, List[kordal.Match]]:
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers) as pool:
        results = pool.map(search_file, [regex] * len(files), files, chunksize=4)
        return {name: matches for name, matches in results if matches}


def main() -> None:
    root = pathlib.Path(__file__).resolve().parent.parent
    pattern = sys.argv[1] if len(sys.argv) > 1 else r"^\s*def (?P<name>\w+)\("
    paths = sys.argv[2:] or [str(root / "examples"), str(root / "bench")]
    regex = kordal.compile(pattern, kordal.MULTILINE)
    files = files_under(paths)
    hits = search(regex, files)
    total = sum(len(ms) for ms in hits.values())
    print(f"{total} matches in {len(hits)} of {len(files)} files")
    for name, matches in sorted(hits.items()):
        first = matches[0]
        line = first.input.count("\n", 0, first.char_span()[0]) + 1
        print(f"  {name}: {len(matches)} (first at line {line}: {first.matched.strip()!r})")


if __name__ == "__main__":
    main()
