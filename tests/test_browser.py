"""The example report (the README's main job) rendered by headless Chromium."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

Image = pytest.importorskip("PIL.Image")

ROOT = Path(__file__).resolve().parent.parent
SECTIONS = ("summary", "drift", "data-bias", "model-bias", "performance")


def chromium() -> str:
    found = shutil.which("chromium") or shutil.which("chromium-browser")
    if found is None:
        if os.environ.get("CI"):
            pytest.fail("chromium is missing (scripts/test.sh installs it from Debian's packages)")
        pytest.skip("chromium is not installed")
    return found


def headless(*args: str) -> subprocess.CompletedProcess[str]:
    # The browser is not ours to sanitize: under the sanitizer run it must not
    # inherit the runtimes preloaded into the interpreter (it hangs with them).
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    return subprocess.run(
        [chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", *args],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )


@pytest.fixture(scope="module")
def example(tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("example")
    done = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "report.py"), "--out", str(out)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert "report: " in done.stdout and (out / "report.html").is_file()
    return out / "report.html"


def test_example_report_is_small_and_self_contained(example):
    html = example.read_text(encoding="utf-8")
    assert example.stat().st_size < 500_000
    assert "<script" not in html.lower() and "<link" not in html.lower()
    assert "@import" not in html and "url(" not in html
    # The only attribute values that look like addresses are in-page anchors and
    # the SVG namespace, which names a vocabulary and is never fetched.
    for ref in re.findall(r'(?:href|src|xlink:href)\s*=\s*"([^"]*)"', html):
        assert ref.startswith("#"), ref
    outside = set(re.findall(r"(?:https?:)?//[\w.-]+", html)) - {"http://www.w3.org"}
    assert not outside, outside


def test_dom_holds_every_section(example):
    done = headless("--dump-dom", example.as_uri())
    assert done.returncode == 0, done.stderr
    dom = done.stdout
    for section in SECTIONS:
        assert f'id="{section}"' in dom, section
    # One histogram per drift column, and a marker pair per bias and performance row.
    assert dom.count("<svg") >= 12 + 2 * (7 + 12) + 8
    assert "failed" in dom or "passed" in dom


def test_screenshot_is_not_blank(example, tmp_path):
    shot = tmp_path / "shot.png"
    done = headless(f"--screenshot={shot}", "--window-size=1280,2400", example.as_uri())
    assert done.returncode == 0, done.stderr
    image = Image.open(shot).convert("RGB")
    assert image.size == (1280, 2400)
    colours = image.getcolors(maxcolors=1 << 20)
    assert colours is not None and len(colours) > 50
    dark = sum(count for count, rgb in colours if sum(rgb) < 300)
    assert dark > 0.002 * 1280 * 2400  # text and bars, not an empty page
    # Both bar colours of the histograms are on screen.
    for target in ((0x7B, 0x8F, 0xC7), (0xE8, 0x74, 0x3B)):
        assert any(all(abs(a - b) < 8 for a, b in zip(rgb, target)) for _, rgb in colours), target
