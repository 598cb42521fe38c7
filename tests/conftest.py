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


_IMPORT_LOG = """
import importlib, logging, sys
records = []
class H(logging.Handler):
    def emit(self, r): records.append((r.name, r.levelname, r.getMessage()))
logging.getLogger().addHandler(H()); logging.getLogger().setLevel(logging.DEBUG)
m = importlib.import_module(sys.argv[1])
importlib.import_module(sys.argv[1])
print(repr(records))
print(repr([n for n in vars(m) if not n.startswith("__")]))
"""


@pytest.fixture
def fresh_import():
    """fresh_import(name) -> (log records, module names in body order).

    Imports the module twice in a new interpreter with every log record
    captured, so a load line shows once and only once.
    """
    import subprocess

    def _run(name):
        out = subprocess.run([sys.executable, "-c", _IMPORT_LOG, name], capture_output=True, text=True,
                             env=dict(os.environ), timeout=120, check=True).stdout.splitlines()
        return eval(out[0]), eval(out[1])
    return _run
