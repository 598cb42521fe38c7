"""korvane: performance acceleration for Python.

This package holds korvane's native core: nine C++ extension modules under
the subpackages below, and the small amount of Python around them.

    korvane.memory.lockless_ops      atomic counter, pointer, stack, statistics, timer
    korvane.memory.block_index       size-ordered tree of free blocks
    korvane.memory.slab_engine       slab headers, buckets and size helpers
    korvane.jit.compile_gate         adaptive compile threshold policy
    korvane.native.hw_probe          capability probe
    korvane.plugins.analyzer.pattern_scoring   source scoring and workload classes
    korvane.plugins.analyzer.adaptation_rules  orchestrator adaptation rules
    korvane.monitoring.counter_hub   running statistics for numbered counters
    korvane.gpu.device_memory        GPU memory planning

Run ``python -m korvane`` for a capability report and a self-benchmark.
"""

__version__ = "0.1.0"

NATIVE_MODULES = (
    "korvane.memory.lockless_ops",
    "korvane.memory.block_index",
    "korvane.memory.slab_engine",
    "korvane.jit.compile_gate",
    "korvane.native.hw_probe",
    "korvane.plugins.analyzer.pattern_scoring",
    "korvane.plugins.analyzer.adaptation_rules",
    "korvane.monitoring.counter_hub",
    "korvane.gpu.device_memory",
)
