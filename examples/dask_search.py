"""Search a corpus with Dask: a bag of lines over many files, run by worker processes.

Usage: python examples/dask_search.py [PATTERN [FILE ...]]
Needs Dask: pip install '.[dask]'

dask.bag.read_text makes one partition per file; the Regex travels to the
processes of Dask's process scheduler (it pickles to its pattern and flags),
and the words each line yields come back as plain strings for counting. The
same code runs on a cluster with dask.distributed; nothing here is specific
to one machine. The defaults count the most frequent words of this
repository's README and examples.
"""

import pathlib
import sys
from typing import List, Tuple

import dask.bag as db

import kordal_python as kordal


def top_words(pattern: str, files: List[str], n: int = 5) -> List[Tuple[str, int]]:
    regex = kordal.compile(pattern)
    lines = db.read_text(files, encoding="utf-8")  # type: ignore[no-untyped-call]
    words = lines.map(regex.findall).flatten().map(lambda m: m.matched.lower())
    counted = words.frequencies().topk(n, key=lambda pair: (pair[1], pair[0]))
    result: List[Tuple[str, int]] = counted.compute(scheduler="processes", num_workers=2)
    return result


def main() -> None:
    root = pathlib.Path(__file__).resolve().parent.parent
    pattern = sys.argv[1] if len(sys.argv) > 1 else r"\b\w{7,}\b"
    files = sys.argv[2:] or [str(root / "README.md")] + [
        str(p) for p in sorted((root / "examples").glob("*.py"))]
    for word, count in top_words(pattern, files):
        print(f"{count:6} {word}")


if __name__ == "__main__":
    main()
