"""Find matches in text that arrives in chunks, keeping only what may still match.

Usage: python examples/streaming.py [CHUNK_SIZE]

A stream (a socket, a pipe, a huge file) is read a few characters at a time.
After each chunk, every match that ends before the end of the buffer is final
and reported; find_partial then says where the earliest match that may still
grow or complete begins, and only that tail is kept for the next chunk. So
the memory held is the longest unfinished match, not the stream.

The result equals one findall over the whole text, which the script checks.
"""

import sys
from typing import Iterable, Iterator, List, Tuple

import kordal_python as kordal

# Sensor readings such as "temp=21.5C"; a reading can be cut anywhere by a chunk border.
READING = kordal.compile(r"(?P<name>[a-z]+)=(?P<value>-?\d+(?:\.\d+)?)(?P<unit>[A-Za-z%]+)")

STREAM = (
    "boot ok; temp=21.5C hum=40% noise "
    "temp=22.0C pressure=1013hPa; glitch temp=; hum=41% "
    "temp=-3.25C end"
)


def chunks(text: str, size: int) -> Iterator[str]:
    for i in range(0, len(text), size):
        yield text[i : i + size]


def scan(pieces: Iterable[str], regex: kordal.Regex) -> Iterator[Tuple[str, str, str]]:
    buffer = ""
    for piece in pieces:
        buffer += piece
        done = 0  # str index up to which the buffer has been dealt with
        for m in regex.finditer(buffer):
            start, end = m.char_span()
            if end == len(buffer):
                break  # more input could make this match longer: wait
            yield (m["name"] or "", m["value"] or "", m["unit"] or "")
            done = end
        rest = buffer[done:]
        p = regex.find_partial(rest)
        # Keep the text from where a match may still begin; drop the rest.
        buffer = "" if p is None else rest[p.char_span()[0] :]
    for m in regex.finditer(buffer):  # end of stream: what is left is final
        yield (m["name"] or "", m["value"] or "", m["unit"] or "")


def main() -> None:
    size = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    found: List[Tuple[str, str, str]] = []
    for name, value, unit in scan(chunks(STREAM, size), READING):
        print(f"{name:9} {value:>6} {unit}")
        found.append((name, value, unit))
    whole = [(m["name"], m["value"], m["unit"]) for m in READING.findall(STREAM)]
    print("same as one search over the whole text:", found == whole)
    sys.exit(0 if found == whole else 1)


if __name__ == "__main__":
    main()
