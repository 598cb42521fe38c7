"""The README's python examples run and print what the README says they print."""
import doctest
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
_BLOCK = re.compile(r"^```python\n(.*?)^```", re.M | re.S)


def _blocks():
    text = README.read_text(encoding="utf-8")
    found = []
    for m in _BLOCK.finditer(text):
        # name each block after the module it introduces (the last `korvane...` before it)
        names = re.findall(r"`(korvane\.[\w.]+)`", text[:m.start()])
        line = text.count("\n", 0, m.start()) + 1
        found.append(pytest.param(m.group(1), line, id=names[-1] if names else f"line{line}"))
    return found


BLOCKS = _blocks()


def test_readme_has_a_tour_example_per_native_module():
    from korvane import NATIVE_MODULES
    ids = [b.id for b in BLOCKS]
    assert sorted(ids) == sorted(NATIVE_MODULES)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("source, line", BLOCKS)
def test_readme_example(source, line):
    if ">>>" not in source:
        exec(compile(source, str(README), "exec"), {"__name__": "readme_example"})
        return
    test = doctest.DocTestParser().get_doctest(source, {}, "README", str(README), line)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS)
    out = []
    runner.run(test, out=out.append)
    assert runner.failures == 0, "".join(out)
