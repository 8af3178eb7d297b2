"""Parse a web server's access log with named groups and finditer.

Usage: python examples/log_parsing.py [LOGFILE]

Without a file it parses a small built-in sample. Every request line is read
with one pattern; finditer walks the whole log without building a list of
matches first, and each match's named groups become a record.
"""

import collections
import sys
from typing import Dict, List

import kordal_python as kordal

SAMPLE = """\
203.0.113.9 - - [08/Dec/2026:10:00:01 +0000] "GET /index.html HTTP/1.1" 200 5120
198.51.100.4 - - [08/Dec/2026:10:00:02 +0000] "GET /missing HTTP/1.1" 404 312
203.0.113.9 - - [08/Dec/2026:10:00:03 +0000] "POST /api/login HTTP/1.1" 302 0
192.0.2.77 - - [08/Dec/2026:10:00:05 +0000] "GET /caf\u00e9/men\u00fc HTTP/2.0" 200 20480
this line is not a request
198.51.100.4 - - [08/Dec/2026:10:00:09 +0000] "GET /index.html HTTP/1.1" 500 0
"""

REQUEST = kordal.compile(
    r"""(?mx)
    ^(?P<ip>\d{1,3}(?:\.\d{1,3}){3}) \s+ \S+ \s+ \S+ \s+
    \[(?P<time>[^\]]+)\] \s+
    "(?P<method>[A-Z]+) \s+ (?P<path>\S+) \s+ HTTP/(?P<version>[\d.]+)" \s+
    (?P<status>\d{3}) \s+ (?P<size>\d+)$
    """
)


def parse(text: str) -> List[Dict[str, str]]:
    records = []
    for m in REQUEST.finditer(text):
        records.append(m.named_groups)
    return records


def main() -> None:
    text = SAMPLE
    if len(sys.argv) > 1:
        with open(sys.argv[1], encoding="utf-8") as f:
            text = f.read()
    records = parse(text)
    print(f"{len(records)} requests")
    by_status = collections.Counter(r["status"] for r in records)
    for status, count in sorted(by_status.items()):
        print(f"  status {status}: {count}")
    total = sum(int(r["size"]) for r in records)
    print(f"  bytes sent: {total}")
    errors = [f"{r['method']} {r['path']} -> {r['status']}" for r in records if r["status"] >= "400"]
    print("  errors:", "; ".join(errors))
    busiest = collections.Counter(r["ip"] for r in records).most_common(1)[0]
    print(f"  busiest client: {busiest[0]} ({busiest[1]} requests)")


if __name__ == "__main__":
    main()
