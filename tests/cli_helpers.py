"""Running the installed ``lumetra`` command in a subprocess, as a user or a CI job does."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from dataclasses import dataclass


@dataclass
class Run:
    status: int
    out: str
    err: str


def command() -> list[str]:
    script = shutil.which("lumetra", path=os.path.dirname(sys.executable))
    return [script] if script else [sys.executable, "-m", "lumetra"]


def lumetra(*args: str, cwd: str | None = None) -> Run:
    done = subprocess.run(
        command() + [str(a) for a in args], capture_output=True, text=True, cwd=cwd, timeout=300
    )
    return Run(done.returncode, done.stdout, done.stderr)


def assert_usage_error(run: Run, *words: str) -> None:
    """Status 2 with one line on stderr that holds every word, and no traceback."""
    assert run.status == 2, (run.status, run.out, run.err)
    lines = run.err.strip().splitlines()
    assert len(lines) == 1, run.err
    assert "Traceback" not in run.err
    for word in words:
        assert word in lines[0], (word, lines[0])
