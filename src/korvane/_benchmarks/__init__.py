"""Self-benchmarks of the native modules, one module each.

Each ``korvane._benchmarks.<name>`` offers ``rows(quick=False, *, level=None)
-> korvane._benchmarks.harness.Table``: the native module's hot calls against the
pure-Python equivalents in ``korvane._baselines``, for the main job
(``python -m korvane bench``; ``--level full`` for the longest loops).
"""
from __future__ import annotations

import importlib

from korvane import NATIVE_MODULES

# short name -> qualified name of the native module, in the package's order
BENCHES = {qualified.rsplit(".", 1)[1]: qualified for qualified in NATIVE_MODULES}


def rows(name: str, quick: bool = False, *, level: str | None = None):
    """The table of one module's benchmark (imports the module on first use)."""
    if name not in BENCHES:
        raise KeyError(name)
    return importlib.import_module(f"{__name__}.{name}").rows(quick, level=level)
