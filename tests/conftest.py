"""Suite-wide settings: the sanitizer run (scripts/sanitize.sh sets
LUMETRA_SANITIZED) skips the tests marked `no_sanitizer`, with their reason."""

import os

import pytest

SANITIZED = os.environ.get("LUMETRA_SANITIZED") == "1"


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "no_sanitizer(reason): cannot run under AddressSanitizer; skipped there only"
    )


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    for item in items:
        mark = item.get_closest_marker("no_sanitizer")
        if mark is not None:
            reason = mark.kwargs.get("reason") or (mark.args[0] if mark.args else "")
            item.add_marker(pytest.mark.skip(reason=f"under the sanitizers: {reason}"))
