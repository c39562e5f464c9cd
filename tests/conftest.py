"""Suite-wide settings: the sanitizer run (scripts/sanitize.sh sets
LUMETRA_SANITIZED) skips the tests marked `no_sanitizer`, with their reason;
the runs on other interpreters and on the portable wheel (LUMETRA_SECONDARY,
set by scripts/versions.sh and scripts/wheel_test.sh) and the sanitizer run
skip those marked `main_run_only`: statistical checks of many large samples
whose arithmetic the other tests already compare bit for bit. With
LUMETRA_NO_SKIPS=1 (CI sets it) any other skip fails the run: a test skipped
for a missing extra or tool is a test CI did not run."""

import os

import pytest

SANITIZED = os.environ.get("LUMETRA_SANITIZED") == "1"
SECONDARY = SANITIZED or os.environ.get("LUMETRA_SECONDARY") == "1"
NO_SKIPS = os.environ.get("LUMETRA_NO_SKIPS") == "1"
SANITIZER_SKIP = "under the sanitizers: "
SECONDARY_SKIP = "in the main run only: "


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "no_sanitizer(reason): cannot run, or tells nothing, under the sanitizers; skipped there only"
    )
    config.addinivalue_line(
        "markers", "main_run_only(reason): a heavy statistical check, skipped by the sanitizer, versions and wheel runs"
    )


def pytest_collection_modifyitems(config, items):
    for item in items:
        for marker, active, prefix in (("no_sanitizer", SANITIZED, SANITIZER_SKIP),
                                       ("main_run_only", SECONDARY, SECONDARY_SKIP)):
            mark = item.get_closest_marker(marker)
            if active and mark is not None:
                reason = mark.kwargs.get("reason") or (mark.args[0] if mark.args else "")
                item.add_marker(pytest.mark.skip(reason=f"{prefix}{reason}"))
                break


def skip_reason(report):
    longrepr = report.longrepr
    reason = longrepr[2] if isinstance(longrepr, tuple) else str(longrepr)
    return reason.removeprefix("Skipped: ")


def unexpected_skips(reports):
    """(test, reason) of each skip that is not a marked one of a sanitizer or secondary run."""
    return [(report.nodeid, skip_reason(report)) for report in reports
            if not skip_reason(report).startswith((SANITIZER_SKIP, SECONDARY_SKIP))]


def pytest_sessionfinish(session, exitstatus):
    if not NO_SKIPS:
        return
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    skipped = unexpected_skips(reporter.stats.get("skipped", []) if reporter else [])
    if skipped:
        for nodeid, reason in skipped:
            print(f"\nskipped where nothing may be ({nodeid or 'collection'}): {reason}")
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
