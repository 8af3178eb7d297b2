"""Scan a large log read in blocks, in bounded memory, with Regex.stream.

Usage: python examples/streaming.py [BLOCK_SIZE] [LINES]

The script writes a sensor log of LINES lines to a temporary file, then
reads it back BLOCK_SIZE characters at a time, as from a pipe or a socket.
Each block goes to a stream, which returns the readings that more text can
no longer change; a reading cut by a block border comes with a later block.
The stream keeps only the text a match may still need, so the memory held is
a block and the longest unfinished reading, not the file.

To show the result is exact, the script also runs one findall over the whole
file (which a real scanner would not do) and compares.
"""

import os
import sys
import tempfile
from typing import Dict, List, Tuple

import kordal_python as kordal

# Readings such as "temp=21.5C"; a block border can cut one anywhere.
READING = kordal.compile(r"(?P<name>[a-z]+)=(?P<value>-?\d+(?:\.\d+)?)(?P<unit>[A-Za-z%]+)")

LINE_KINDS = [
    "boot ok; temp={t}C hum={h}% noise",
    "temp={t}C pressure={p}hPa; glitch temp=; hum={h}%",
    "idle",
    "temp=-{t}C end",
]


def write_log(path: str, lines: int) -> None:
    with open(path, "w", encoding="utf-8") as f:
        for i in range(lines):
            kind = LINE_KINDS[i % len(LINE_KINDS)]
            f.write(kind.format(t=i % 40 + 0.25, h=i % 100, p=1000 + i % 30) + "\n")


Stats = Dict[Tuple[str, str], List[float]]


def scan(path: str, block: int) -> Tuple[Stats, int, List[Tuple[str, str, str]]]:
    """Per (name, unit): count, least, greatest; the most text held; the readings."""
    stats: Stats = {}
    readings: List[Tuple[str, str, str]] = []
    stream = READING.stream()
    held = 0

    def take(matches: List[kordal.Match]) -> None:
        for m in matches:
            name, value, unit = m["name"] or "", m["value"] or "", m["unit"] or ""
            readings.append((name, value, unit))
            v = float(value)
            s = stats.setdefault((name, unit), [0, v, v])
            s[0] += 1
            s[1] = min(s[1], v)
            s[2] = max(s[2], v)

    with open(path, encoding="utf-8") as f:
        while True:
            piece = f.read(block)
            if not piece:
                break
            take(stream.feed(piece))
            held = max(held, stream.retained)
    take(stream.close())
    return stats, held, readings


def main() -> None:
    block = int(sys.argv[1]) if len(sys.argv) > 1 else 4096
    lines = int(sys.argv[2]) if len(sys.argv) > 2 else 20_000
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "sensors.log")
        write_log(path, lines)
        stats, held, readings = scan(path, block)
        print(f"{os.path.getsize(path)} bytes in blocks of {block}; most text held: {held}")
        for (name, unit), (count, least, most) in sorted(stats.items()):
            print(f"{name:9} {unit:4} {int(count):6} readings, {least:g} to {most:g}")
        with open(path, encoding="utf-8") as f:
            whole = [(m["name"], m["value"], m["unit"]) for m in READING.findall(f.read())]
    same = readings == whole
    print("same as one search over the whole text:", same)
    sys.exit(0 if same else 1)


if __name__ == "__main__":
    main()
