"""Suite-wide settings: the sanitizer run (scripts/sanitize.sh sets
LUMETRA_SANITIZED) skips the tests marked `no_sanitizer`, with their reason.
With LUMETRA_NO_SKIPS=1 (CI sets it) any other skip fails the run: a test
skipped for a missing extra or tool is a test CI did not run."""

import os

import pytest

SANITIZED = os.environ.get("LUMETRA_SANITIZED") == "1"
NO_SKIPS = os.environ.get("LUMETRA_NO_SKIPS") == "1"
SANITIZER_SKIP = "under the sanitizers: "


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "no_sanitizer(reason): cannot run, or tells nothing, under the sanitizers; skipped there only"
    )


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    for item in items:
        mark = item.get_closest_marker("no_sanitizer")
        if mark is not None:
            reason = mark.kwargs.get("reason") or (mark.args[0] if mark.args else "")
            item.add_marker(pytest.mark.skip(reason=f"{SANITIZER_SKIP}{reason}"))


def skip_reason(report):
    longrepr = report.longrepr
    reason = longrepr[2] if isinstance(longrepr, tuple) else str(longrepr)
    return reason.removeprefix("Skipped: ")


def unexpected_skips(reports):
    """(test, reason) of each skip that is not a sanitizer run's marked one."""
    return [(report.nodeid, skip_reason(report)) for report in reports
            if not skip_reason(report).startswith(SANITIZER_SKIP)]


def pytest_sessionfinish(session, exitstatus):
    if not NO_SKIPS:
        return
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    skipped = unexpected_skips(reporter.stats.get("skipped", []) if reporter else [])
    if skipped:
        for nodeid, reason in skipped:
            print(f"\nskipped where nothing may be ({nodeid or 'collection'}): {reason}")
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
