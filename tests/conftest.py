import gc
import os
import sys

import pytest
from hypothesis import HealthCheck, settings

settings.register_profile(
    "ci", deadline=None, max_examples=150, derandomize=True,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile("dev", deadline=None, max_examples=60)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


@pytest.fixture
def refcount():
    """refcount(obj) -> current reference count, after a collection."""
    def _rc(obj):
        gc.collect()
        return sys.getrefcount(obj)
    return _rc


def pytest_sessionfinish(session, exitstatus):
    # "no tests collected" must fail the run, never pass quietly.
    if exitstatus == 5:
        session.exitstatus = 1
