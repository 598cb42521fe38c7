"""The benchmark scripts' timing harness: the package's own (korvane._bench)."""
from korvane._bench import Row, Table, ns_per_call  # noqa: F401
