"""The committed Unicode tables are exactly what the generator makes from UCD 15.0.0."""

import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
UCD = pathlib.Path("/usr/share/unicode")


def _ucd_version():
    try:
        head = (UCD / "ReadMe.txt").read_text(errors="replace")
    except OSError:
        return None
    return "15.0.0" if "15.0.0" in head else head[:200]


@pytest.mark.skipif(_ucd_version() != "15.0.0", reason="UCD 15.0.0 files not installed")
def test_generated_tables_match_the_data(tmp_path):
    out = tmp_path / "unicode_tables.cpp"
    subprocess.run(
        [sys.executable, str(ROOT / "tools" / "gen_unicode_tables.py"), "--ucd-dir", str(UCD),
         "--output", str(out)],
        check=True,
    )
    committed = (ROOT / "src" / "unicode_tables.cpp").read_text()
    assert out.read_text() == committed, "src/unicode_tables.cpp is stale: rerun the generator"


def test_tables_name_their_version():
    head = (ROOT / "src" / "unicode_tables.cpp").read_text()[:400]
    assert "UCD 15.0.0" in head and "Do not edit" in head
