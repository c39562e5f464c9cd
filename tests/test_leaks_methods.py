"""The leak loops of test_leaks.py over every method of every class."""

import pytest

from test_leaks import METHODS, NOT_SANITIZED, check_repeated_calls, frozen_heap  # noqa: F401 (a fixture)

pytestmark = pytest.mark.no_sanitizer(reason="resident memory says nothing under ASan's quarantine")


@NOT_SANITIZED
@pytest.mark.parametrize("entry", METHODS, ids=lambda e: e.id)
def test_repeated_method_calls_leave_nothing_behind(entry):
    check_repeated_calls(entry)
