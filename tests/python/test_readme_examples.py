"""The README's examples run, and its error table matches what the module raises.

Every ```python block of README.md runs in a fresh interpreter (the worker pool is
sized once per process). Each row of the table in the "## Errors" section whose
example is code is evaluated after that section's setup block, and must raise the
row's exception with exactly the row's message.
"""

import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
TEXT = README.read_text(encoding="utf-8")
FENCE = re.compile(r"^```(\w*)\n(.*?)^```[ \t]*$", re.M | re.S)


def python_blocks(text):
    return [match.group(2) for match in FENCE.finditer(text) if match.group(1) == "python"]


def section(title):
    match = re.search(rf"^## {re.escape(title)}\n(.*?)(?=^## |\Z)", TEXT, re.M | re.S)
    assert match, f"README has no '## {title}' section"
    return match.group(1)


def code_cell(cell):
    """The text inside a cell that is exactly one `code span`, else None."""
    match = re.fullmatch(r"`([^`]+)`", cell.strip())
    return match.group(1) if match else None


def error_rows():
    """(exception name, message, example code) for every table row with code examples."""
    rows = []
    for line in section("Errors").splitlines():
        cells = line.strip().strip("|").split(" | ")
        if not line.startswith("| `") or len(cells) != 3:
            continue
        exception, message, example = (code_cell(cell) for cell in cells)
        if exception and message and example:
            rows.append((exception, message, example))
    return rows


def run_code(code, cwd):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=180, cwd=cwd)


BLOCKS = python_blocks(TEXT)


def test_usage_section_has_examples():
    assert python_blocks(section("Usage")), "the Usage section lost its examples"
    assert TEXT.count("```") % 2 == 0, "unbalanced code fences in README.md"


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i + 1}" for i in range(len(BLOCKS))])
def test_python_block_runs(code, tmp_path):
    proc = run_code(code, tmp_path)
    assert proc.returncode == 0, f"README example failed:\n{code}\n--- stderr ---\n{proc.stderr}"


def test_error_table_matches_the_module(tmp_path):
    (setup,) = python_blocks(section("Errors"))
    rows = error_rows()
    assert len(rows) >= 10, "the error table lost its rows (or its format changed)"
    probe = setup + "\n" + "\n".join([
        "import json",
        f"_examples = {json.dumps([example for _, _, example in rows])}",
        "_outcomes = []",
        "for _example in _examples:",
        "    try:",
        "        eval(_example)",
        "        _outcomes.append(None)",
        "    except BaseException as _error:",
        "        _outcomes.append([type(_error).__name__, str(_error)])",
        "print(json.dumps(_outcomes))",
    ])
    proc = run_code(probe, tmp_path)
    assert proc.returncode == 0, proc.stderr
    outcomes = json.loads(proc.stdout.strip().splitlines()[-1])
    mismatches = [
        f"{example}: documented {exception}: {message!r}, got {outcome}"
        for (exception, message, example), outcome in zip(rows, outcomes)
        if outcome != [exception, message]
    ]
    assert not mismatches, "\n".join(mismatches)
