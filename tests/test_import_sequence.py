"""The import sequence every native module shares: one interpreter per process,
a second execution refused, and a failed import that says where it failed.

Each case runs in a fresh interpreter, since an import happens once per process.
"""
import subprocess
import sys
import textwrap

import pytest

from korvane import NATIVE_MODULES

MODULES = list(NATIVE_MODULES)
CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."
REFUSED_BY_INTERPRETER = "does not support loading in subinterpreters"

pytestmark = pytest.mark.subprocess


def run(code, *args):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout, proc.stderr


@pytest.mark.parametrize("name", MODULES)
def test_legacy_subinterpreter_is_refused(name):
    pytest.importorskip("_testcapi")
    out, err = run("""
        import importlib, sys, _testcapi
        importlib.import_module(sys.argv[1])
        print(_testcapi.run_in_subinterp("import " + sys.argv[1]))
    """, name)
    assert out.split() == ["-1"]
    assert "ImportError: " + CHANGE in err


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated sub-interpreters arrived in 3.12")
@pytest.mark.parametrize("name", MODULES)
def test_isolated_subinterpreter_is_refused(name):
    # An interpreter with its own GIL may refuse the module before it runs any
    # of its code; either refusal is safe.
    out, _ = run("""
        import importlib, sys
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        importlib.import_module(sys.argv[1])
        iid = interpreters.create()
        try:
            failure = interpreters.run_string(iid, "import " + sys.argv[1])
        except Exception as exc:          # 3.12 raises RunFailedError
            failure = exc
        print(getattr(failure, "msg", None) or str(failure))
    """, name)
    assert CHANGE in out or REFUSED_BY_INTERPRETER in out, out


@pytest.mark.parametrize("name", MODULES)
def test_repeated_create_and_exec_keep_the_first_module(name):
    out, _ = run("""
        import importlib, importlib.util, sys
        m = importlib.import_module(sys.argv[1])
        body = dict(vars(m))
        spec = importlib.util.find_spec(sys.argv[1])
        print(spec.loader.create_module(spec) is m)
        spec.loader.exec_module(m)                  # the same module: nothing runs again
        print(sys.modules[sys.argv[1]] is m, dict(vars(m)) == body)
    """, name)
    assert out.splitlines() == ["True", "True True"]


def test_failed_import_names_the_module_in_its_traceback():
    # block_index's body imports the block record; a halted import fails the
    # module's import with that error and an "init" entry of its own.
    out, _ = run("""
        import sys, traceback
        sys.modules["korvane.memory.block_record"] = None
        try:
            import korvane.memory.block_index
        except ImportError as exc:
            print(isinstance(exc, ImportError), exc.name)
            for entry in traceback.extract_tb(exc.__traceback__):
                print(entry.name, entry.filename, entry.lineno)
        print("korvane.memory.block_index" in sys.modules)
    """)
    lines = out.splitlines()
    assert lines[0] == "True korvane.memory.block_record"
    assert "init korvane.memory.block_index block_index.cpp 1" in lines[1:-1]
    assert lines[-1] == "False"
