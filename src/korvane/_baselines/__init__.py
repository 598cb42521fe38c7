"""Pure-Python equivalents of the native modules: the oracle of the tests, the
fuzzer and the benchmarks.

``korvane._baselines.<name>`` mirrors the native module of the same short name
(``korvane._baselines.counter_hub`` for ``korvane.monitoring.counter_hub``): the
same classes, functions, defaults and results, written as a Python user would
write them, with a ``threading.Lock`` where the native class takes one. The
tests and the fuzzer compare the native results with these; the benchmarks
(``python -m korvane bench``) time both sides in the same run.
"""
