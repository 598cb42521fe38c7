import functools
import math
import re
import sys
from array import array

import pytest
from hypothesis import given, strategies as st

from korvane.plugins.analyzer import pattern_scoring as ps
from korvane._baselines import pattern_scoring as base

import leakcheck
from leakcheck import I32_OVER, RaisingBool, RaisingNumber, bad, ok

# --- the scoring rule, read on its own, over the baseline's vocabularies -----

REF_VOCABS = [list(v) for v in (
    base.CPU_INDICATORS, base.MEMORY_INDICATORS, base.PARALLEL_INDICATORS,
    base.GPU_OPERATION_INDICATORS, base.LARGE_DATA_INDICATORS,
    base.EMBARRASSINGLY_PARALLEL_INDICATORS, base.SEQUENTIAL_INDICATORS)]
REF_IN_NAME = (3, 5)
REF_FRAMEWORKS = [list(v) for v in (base.NUMPY_INDICATORS, base.PANDAS_INDICATORS, base.SKLEARN_INDICATORS)]
REF_PATTERNS = base._FRAMEWORK_PATTERNS


def ref_indicators(code, name):
    text, name = code.lower(), (name or "").lower()
    return tuple(
        len({w for w in vocab if w in text or (i in REF_IN_NAME and w in name)})
        for i, vocab in enumerate(REF_VOCABS))


def ref_frameworks(code):
    text = code.lower()
    return tuple(min(1.0, len({w for w in v if w in text}) / len(v)) for v in REF_FRAMEWORKS)


SNIPPETS = {
    "empty": "",
    "numpy": "import numpy as np\n\ndef f(a, b):\n    c = np.dot(a, b) @ b.T\n"
             "    return np.linalg.norm(c.reshape(-1)).sum() ** 2\n",
    "pandas": "import pandas as pd\ndf = pd.DataFrame(rows)\n"
              "out = df.groupby('k').agg({'v': 'mean'}).sort_values('v').rolling(3).apply(f)\n",
    "sklearn": "from sklearn.ensemble import RandomForestClassifier\n"
               "from sklearn.model_selection import train_test_split, GridSearchCV\n"
               "clf = GridSearchCV(RandomForestClassifier(), grid).fit(X, y)\n"
               "print(clf.score(X_test, y_test), clf.predict(X_test))\n",
    "threading": "import threading\nlock = threading.Lock()\ndef worker(q):\n"
                 "    global total\n    with lock:\n        total += sum(q)\n",
    "upper": "FOR I IN RANGE(N): MATMUL(A, B); DATAFRAME; GLOBAL MUTEX; 1E9 BYTES",
    "latin1": "ÀRRAY ß µ façade résumé für x in liste: summe += x",
    "greek_cjk": "ΣΥΝΟΛΟ = sum(x) # 合計 — ΜΑΠ\nwhile ΣΑ: pass",
    "dotted_i": "İFFT(x) and İNTENSİVE and the dİCT",
    "kelvin": "LOC\u212a the MUTEX; CHUN\u212a_WOR\u212aLOAD",
    "emoji": "😀 result = [x * 2 for x in data] 😀 # parallel 🚀",
    "surrogate": "\ud800 append(buffer) \udfff",
    "arith": "x = a + b",
    "words": "information bitmap rgb",
}
NAMES = [None, "", "benchmark_matmul", "İFFT_Apply", "compute_Kernel", "😀map"]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("key", sorted(SNIPPETS))
def test_scoring_matches_reference(key, name):
    code = SNIPPETS[key]
    assert ps.score_indicators(code, name) == ref_indicators(code, name)
    assert ps.score_framework_patterns(code) == ref_frameworks(code)


_texty = st.text(
    alphabet=st.sampled_from(list("abcdefmnoprstuAFMNPRST .*/+-@_19e\n\u0130\u212a\u00c0é😀")),
    max_size=60)
_wordy = st.lists(st.sampled_from(sorted({w for v in REF_VOCABS + REF_FRAMEWORKS for w in v})
                                  + ["İ", "\u212a", "X", " "]), max_size=12).map("".join)


@given(code=st.one_of(_texty, _wordy, st.text(max_size=40)),
       name=st.one_of(st.none(), _texty, _wordy))
def test_scoring_matches_reference_generated(code, name):
    assert ps.score_indicators(code, name) == ref_indicators(code, name)
    assert ps.score_framework_patterns(code) == ref_frameworks(code)


def test_scoring_examples():
    assert ps.score_indicators("", None) == (0,) * 7
    assert ps.score_framework_patterns("") == (0.0, 0.0, 0.0)
    # Substrings, not tokens; repeats count once.
    assert ps.score_indicators("information", "")[0] == 1
    assert ps.score_indicators("bitmap", "")[5] == 1
    assert ps.score_indicators("rgb rgb rgb", "")[4] == 1
    assert ps.score_indicators("x = a + b", None)[3] >= 1
    # The name is searched for two vocabularies only; code and name count once.
    assert ps.score_indicators("pass", "benchmark_matmul") == (0, 0, 0, 1, 0, 1, 0)
    assert ps.score_indicators("matmul", "matmul") == (1, 0, 0, 1, 0, 0, 0)
    assert ps.score_indicators("pass", "global_lock_list") == (0,) * 7
    # Dotted capital I lower-cases to "i" + U+0307: "ifft" is not there, "fft" is.
    assert ps.score_indicators("İFFT", None) == (1, 0, 0, 1, 0, 0, 0)
    # Every word of each framework vocabulary present gives exactly 1.0.
    assert ps.score_framework_patterns(" ".join(sum(REF_FRAMEWORKS, []))) == (1.0, 1.0, 1.0)
    assert ps.score_framework_patterns("fit_transform")[2] == 2 / 18


def test_long_text_and_all_words():
    every = " ".join(w for v in REF_VOCABS for w in v).upper()
    sizes = tuple(len(v) for v in REF_VOCABS)
    assert ps.score_indicators(every, None) == sizes
    big = SNIPPETS["numpy"] * 2000 + "mutex"
    assert ps.score_indicators(big, None) == ref_indicators(big, None)


@pytest.mark.parametrize("key", sorted(SNIPPETS))
@pytest.mark.parametrize("framework", sorted(REF_PATTERNS))
def test_quick_framework_score_matches_findall(key, framework):
    code = SNIPPETS[key] * 3
    expected = min(1.0, len(REF_PATTERNS[framework].findall(code)) / 10.0)
    assert ps.quick_framework_score(code, framework) == expected


_PATTERN_PIECES = sorted({
    "numpy", "np.", "NP.", "ndarray", "array", "Array", "vectorize", "matmul", "linalg", "pandas",
    "pd.", "DataFrame", "dataframe", "Series", "groupby", "merge", "pivot", "sklearn", "fit",
    "predict", "transform", "GridSearchCV", "RandomForest", "randomforest", "np", "pd", "nump",
    ".", "_", "1", " ", "(", "é", "µ", "²", "ª", "\u017f", "\u212a", "\u0130", "\u0131", "😀",
    "s", "k", "i", "x"})


@given(st.lists(st.sampled_from(_PATTERN_PIECES), max_size=16).map("".join))
def test_quick_framework_score_generated(code):
    for framework, pattern in REF_PATTERNS.items():
        expected = min(1.0, len(pattern.findall(code)) / 10.0)
        assert ps.quick_framework_score(code, framework) == expected, framework


@pytest.mark.parametrize("framework", sorted(REF_PATTERNS))
def test_quick_framework_score_boundaries_latin1(framework):
    pattern = REF_PATTERNS[framework]
    for c in map(chr, range(256)):
        for code in (c + "array" + c, "np." + c, c + "FIT" + c, "pd." + c + "x", "Series" + c * 3):
            expected = min(1.0, len(pattern.findall(code)) / 10.0)
            assert ps.quick_framework_score(code, framework) == expected, ascii(code)


@pytest.mark.parametrize("code, framework, expected", [
    ("np.array(x)", "numpy", 0.2),
    ("array " * 10, "numpy", 1.0),
    ("array " * 25, "numpy", 1.0),
    ("RandomForestClassifier()", "sklearn", 0.0),
    ("fit_transform(x)", "sklearn", 0.0),
    ("GRIDSEARCHCV Series", "sklearn", 0.1),
    ("np.array(x)", "NumPy", 0.0),
    ("np.array(x)", None, 0.0),
    ("np.array(x)", "torch", 0.0),
    (None, "torch", 0.0),   # the key is looked up before the code is searched
    ("", "pandas", 0.0),
])
def test_quick_framework_score_examples(code, framework, expected):
    assert ps.quick_framework_score(code, framework) == expected


# --- framework patterns over all of Unicode ----------------------------------
# The native matcher must give len(pattern.findall(code)) for every text. The
# checks below go over every code point in a few long texts each; the score
# saturates at ten matches, so each text is built to hold few.

ALTERNATIVES = {key: p.pattern[3:-3].replace("\\", "").split("|")
                for key, p in REF_PATTERNS.items()}


@functools.lru_cache(maxsize=None)
def every_code_point():
    return array("I", range(0x110000))


def text_of(code_points):
    return str(code_points, "utf-32-le", "surrogatepass")


@functools.lru_cache(maxsize=None)
def re_equivalents(ch):
    """Every character that re (IGNORECASE) matches to the pattern character ch."""
    return frozenset(re.findall(re.escape(ch), text_of(every_code_point()), re.I))


@functools.lru_cache(maxsize=None)
def re_word_chars():
    """The characters that re's \\b takes for word characters (a boundary after a space)."""
    spaced = array("I", [ord(" ")]) * (2 * 0x110000)
    spaced[::2] = every_code_point()
    return frozenset(re.findall(r"\b(.)", text_of(spaced), re.S)) - {" "}


def pieces(before, code_points, after):
    """before + c + after for each code point c, joined."""
    tmpl = array("I", map(ord, before + "?" + after))
    out = tmpl * len(code_points)
    out[len(before)::len(tmpl)] = code_points
    return text_of(out)


def code_points_of(chars):
    return array("I", sorted(map(ord, chars)))


def without(chars):
    """Every code point but those of chars."""
    every, out, start = every_code_point(), array("I"), 0
    for c in sorted(map(ord, chars)):
        out += every[start:c]
        start = c + 1
    return out + every[start:]


def _letter_cases():
    # One place per pattern character: where it starts an alternative if it
    # starts one (the matcher's first test), else inside one.
    cases = {}
    for key, alts in ALTERNATIVES.items():
        for alt in alts:
            for k, ch in enumerate(alt):
                if ch.lower() not in cases or (k == 0 and cases[ch.lower()][2] != 0):
                    cases[ch.lower()] = (key, alt, k)
    return sorted(cases.values())


@pytest.mark.parametrize("framework, alt, k", _letter_cases())
def test_case_folding_matches_re_for_every_code_point(framework, alt, k):
    pattern = REF_PATTERNS[framework]
    before = " " + alt[:k]
    after = alt[k + 1:] + ("" if alt[-1].isalnum() else "x") + " "
    same = re_equivalents(alt[k])
    # Each character that re matches to alt[k] completes the word once.
    text = pieces(before, code_points_of(same), after)
    assert len(pattern.findall(text)) == len(same) < 10
    assert ps.quick_framework_score(text, framework) == len(same) / 10
    # Any other character spoils it. For re, a character that matches no
    # pattern character counts only as a word character or not, and this
    # sample of both kinds (with every such character that does match some
    # pattern character) makes no match...
    special = set().union(*(re_equivalents(ch) for a in ALTERNATIVES.values() for w in a
                            for ch in w))
    sample = (set(map(chr, range(0x250))) | special | {"\u2014", "\u3000", "\u4e00", "\U0001f600",
              "\ud800", "\U0010ffff"}) - same
    assert pattern.findall(pieces(before, code_points_of(sample), after)) == []
    # ...so none of the other 1.1 million characters may make one either.
    assert ps.quick_framework_score(pieces(before, without(same), after), framework) == 0.0


def test_word_characters_match_re_for_every_code_point():
    words = re_word_chars()
    assert "_" in words and "\u212a" in words and " " not in words
    non_words = without(words)
    words = code_points_of(words)
    numpy, sklearn = REF_PATTERNS["numpy"], REF_PATTERNS["sklearn"]
    # A word character next to "fit" on either side leaves no boundary there...
    for text in (pieces(" fit", words, " "), pieces(" ", words, "fit ")):
        assert sklearn.findall(text) == []
        assert ps.quick_framework_score(text, "sklearn") == 0.0
    # ...and "np." needs one after it.
    text = pieces(" np.", non_words, " ")
    assert numpy.findall(text) == []
    assert ps.quick_framework_score(text, "numpy") == 0.0


def _spelled(alt):
    # The alternative with each character drawn from those re matches to it.
    return st.tuples(*(st.sampled_from(sorted(re_equivalents(ch))) for ch in alt)).map("".join)


_any_char = st.characters(exclude_categories=())   # all of Unicode, surrogates included
_neighbours = st.sampled_from([
    " ", ".", "_", "0", "x", "\u00e9", "\u00b2", "\u00aa", "\u00b7", "\u0345", "\u0301", "\u200d",
    "\u2014", "\u2160", "\u3000", "\u4e00", "\uff21", "\U0001d7d8", "\U0001f600", "\ud800",
    "\udfff", "\U0010ffff"])
_framework_text = st.lists(st.one_of(
    st.deferred(lambda: st.sampled_from([a for alts in ALTERNATIVES.values() for a in alts])
                .flatmap(_spelled)),
    st.sampled_from([a for alts in ALTERNATIVES.values() for a in alts]),
    _neighbours, _any_char), max_size=12).map("".join)


@given(st.one_of(_framework_text, st.text(_any_char, max_size=40)))
def test_quick_framework_score_equals_findall(code):
    for framework, pattern in REF_PATTERNS.items():
        expected = min(1.0, len(pattern.findall(code)) / 10.0)
        assert ps.quick_framework_score(code, framework) == expected, (framework, ascii(code))


@pytest.mark.parametrize("code, framework, expected", [
    ("S\u212aLEARN f\u0131t \u0130\u0130T", "sklearn", 0.2),   # Kelvin sign, dotless I
    ("\u017feries SER\u0130ES \u2014", "pandas", 0.2),         # long s, dotted capital I
    ("fit\u00e9 \u00e9fit fit\u0301 fit\u2014", "sklearn", 0.2),   # é is a word character
    ("np.\u00e9 np.\u2014 pd.\u4e00", "numpy", 0.1),           # "np." needs a word after it
    ("array\U0001d7d8 \U0001f600array\ud800", "numpy", 0.1),
    ("\u00b2fit fit\u2160 fit\u00b7", "sklearn", 0.1),         # digits and numerals are words
])
def test_quick_framework_score_wide_examples(code, framework, expected):
    assert ps.quick_framework_score(code, framework) == expected


# Imports the module in a new interpreter after replacing re.compile or
# re.IGNORECASE, and prints [native score, findall score] for each text and
# key, the findall one from the objects that the module got from re.compile.
_REPLACED_RE = r"""
import json, logging, re, sys
real_compile, real_flag = re.compile, re.IGNORECASE
made = {}
class Twice:
    def __init__(self, p): self.p = p
    def findall(self, s): return self.p.findall(s) * 2
how = sys.argv[1]
def compile(p, flags=0):
    got = real_compile(p.replace("array", "arr") if how == "compile_rewrites" else p, flags)
    made[p] = Twice(got) if how == "compile_wraps" else got
    return made[p]
re.compile = compile
if how == "ignorecase_zero":
    re.IGNORECASE = 0
elif how == "ignorecase_ascii":
    re.IGNORECASE = re.I | re.A
from korvane.plugins.analyzer import pattern_scoring as ps
re.compile, re.IGNORECASE = real_compile, real_flag
codes, patterns = json.loads(sys.stdin.read())
print(json.dumps([[ps.quick_framework_score(c, k), min(1.0, len(made[p].findall(c)) / 10)]
                  for k, p in patterns for c in codes]))
"""

_REPLACED_CODES = [
    "np.array(x) NumPy ARRAY arr linalg",
    "\u00e9fit \u00aaarray fit\u00b2 pd.\u00e9 \u00b5numpy",
    "S\u212aLEARN.fit(X) \u00e9fit FIT_ predict \u2014",
    "pd.DataFrame(x).groupby('k') \u017feries merge \U0001f600",
    "array " * 12,
]


@pytest.mark.subprocess
@pytest.mark.parametrize("how", ["compile_same", "ignorecase_zero", "ignorecase_ascii",
                                 "compile_rewrites", "compile_wraps"])
def test_replaced_re_compile_is_obeyed(how):
    import json
    import os
    import subprocess
    patterns = [(k, p.pattern) for k, p in REF_PATTERNS.items()]
    out = subprocess.run([sys.executable, "-c", _REPLACED_RE, how], capture_output=True, text=True,
                         input=json.dumps([_REPLACED_CODES, patterns]), env=dict(os.environ),
                         timeout=120)
    assert out.returncode == 0, out.stderr
    got = json.loads(out.stdout)
    assert [native for native, _ in got] == [expected for _, expected in got]
    usual = [min(1.0, len(p.findall(c)) / 10) for _, p in REF_PATTERNS.items()
             for c in _REPLACED_CODES]
    # The replacement must matter, or the test shows nothing.
    assert ([native for native, _ in got] == usual) == (how == "compile_same")


# --- argument handling -------------------------------------------------------

class SubStr(str):
    def lower(self):
        return "matmul"


def test_results_hold_no_stray_references(refcount):
    wide = "def f(): return sum(range(10)) \u2014 \u212a" * 5   # lower-cased and regex paths
    narrow = wide.encode("ascii", "replace").decode()
    watched = [wide, narrow, sys.intern("findall"), sys.intern("numpy")]

    def run(times):
        for _ in range(times):
            for code in (wide, narrow):
                ps.score_indicators(code, code)
                ps.score_framework_patterns(code)
                ps.quick_framework_score(code, "numpy")

    run(1)
    before = [refcount(o) for o in watched]
    run(100)
    assert [refcount(o) for o in watched] == before


@pytest.mark.parametrize("call", [
    lambda: ps.score_indicators(None, "f"),
    lambda: ps.score_indicators(b"for", "f"),
    lambda: ps.score_indicators("for", 3),
    lambda: ps.score_framework_patterns(None),
    lambda: ps.score_framework_patterns(["np."]),
    lambda: ps.quick_framework_score(None, "numpy"),
    lambda: ps.quick_framework_score(b"np.", "numpy"),
    lambda: ps.quick_framework_score("np.", 1),
    lambda: ps.score_indicators(SubStr("for"), None),
    lambda: ps.calculate_gpu_suitability(0.5, 0.5, 0.0, False, SubStr("8.6")),
])
def test_scoring_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_type_error_wording():
    with pytest.raises(TypeError, match=r"^Argument 'function_name' has incorrect type "
                                        r"\(expected str, got int\)$"):
        ps.score_indicators("x", 3)
    with pytest.raises(TypeError, match="descriptor 'lower' for 'str' objects doesn't apply to "
                                        "a 'NoneType' object"):
        ps.score_framework_patterns(None)


F = 0.5
ARITY = {
    "score_indicators": ("code", "function_name"),
    "score_framework_patterns": ("code",),
    "quick_framework_score": ("code", "framework"),
    "normalize_scores": ("cpu_score", "memory_score", "parallel_score", "gpu_op_score",
                         "large_data_score"),
    "calculate_parallelization_potential": ("base_parallel_score", "embarrassing_bonus",
                                            "sequential_penalty", "loop_chunking_potential"),
    "calculate_gpu_suitability": ("gpu_operation_score", "gpu_data_size_score", "cpu_intensity",
                                  "gpu_available", "compute_capability"),
    "estimate_gpu_speedup": ("gpu_operation_score", "gpu_data_size_score", "gpu_available"),
    "determine_workload_pattern": (
        "cpu_intensity", "memory_intensity", "parallelization_potential", "gpu_suitability",
        "gpu_operation_score", "numpy_score", "pandas_score", "sklearn_score", "sequential_count",
        "embarrassing_count", "cpu_threshold", "memory_threshold", "gpu_threshold",
        "numpy_threshold", "pandas_threshold", "sklearn_threshold", "gpu_available"),
    "update_adaptive_threshold": ("current_threshold", "success_rate", "learning_rate",
                                  "min_threshold", "max_threshold"),
}
SAMPLE = {"code": "np.dot(a, b) for x", "function_name": "bench", "framework": "numpy",
          "compute_capability": "7.5", "gpu_available": True, "sequential_count": 3,
          "embarrassing_count": 0, "cpu_score": 4, "memory_score": 2, "parallel_score": 1,
          "gpu_op_score": 9, "large_data_score": 13}


@pytest.mark.parametrize("fname", sorted(ARITY))
def test_signatures(fname):
    fn = getattr(ps, fname)
    params = ARITY[fname]
    args = [SAMPLE.get(p, 0.7) for p in params]
    positional = fn(*args)
    assert fn(**dict(zip(params, args))) == positional
    assert getattr(base, fname)(*args) == positional
    n = len(params)
    with pytest.raises(TypeError, match=rf"^{fname}\(\) takes exactly {n} positional "
                                        rf"argument{'s' if n != 1 else ''} \({n - 1} given\)$"):
        fn(*args[:-1])
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        fn(*args, bogus=1)


def test_module_surface():
    public = {n for n in dir(ps) if not n.startswith("__")}
    assert public == set(ARITY) | {"re", "logging", "logger"}
    assert ps.re is re
    assert ps.logger.name == "korvane.plugins.analyzer.pattern_scoring"


@pytest.mark.subprocess
def test_load_line_logged_once(fresh_import):
    records, _ = fresh_import("korvane.plugins.analyzer.pattern_scoring")
    assert records == ([("korvane.plugins.analyzer.pattern_scoring", "INFO",
                         "Korvane Pattern Scoring Cython module loaded - IP protected")])


# --- classification ----------------------------------------------------------

@pytest.mark.parametrize("args, expected", [
    ((15, 10, 11, 36, 13), (1.0,) * 5),
    ((30, -1, 0, 18, 0), (1.0, 0.0, 0.0, 0.5, 0.0)),
    ((15.9, 9.99, True, 0, -5.5), (1.0, 0.9, 1 / 11, 0.0, 0.0)),   # __int__ truncates
])
def test_normalize_scores(args, expected):
    assert ps.normalize_scores(*args) == expected


@pytest.mark.parametrize("bad, exc", [(2**31, OverflowError), (-2**31 - 1, OverflowError),
                                      ("1", TypeError), (None, TypeError)])
def test_int_arguments_are_32_bit(bad, exc):
    with pytest.raises(exc):
        ps.normalize_scores(1, 1, bad, 1, 1)
    with pytest.raises(exc):
        # sklearn would decide at once, but every argument is checked first
        ps.determine_workload_pattern(0, 0, 0, 0, 0, 0, 0, 1.0, 0, bad, F, F, F, F, F, F, False)
    assert ps.normalize_scores(2**31 - 1, -2**31, 0, 0, 0) == (1.0, 0.0, 0.0, 0.0, 0.0)


@pytest.mark.parametrize("args, expected", [
    ((0.5, 3.0, 0.0, 0.0), 1.0),
    ((0.0, 0.0, 10.0, 0.0), 0.0),
    ((0.2, 1.0, 1.0, 0.5), 0.2 + 0.3 - 0.2 + 0.2),
    ((0.1, -5.0, -5.0, 0.0), 0.1),   # bonus and penalty clamp at 0
    ((2, 0, 0, 0), 1.0),
])
def test_parallelization_potential(args, expected):
    assert ps.calculate_parallelization_potential(*args) == pytest.approx(expected, abs=1e-15)


@pytest.mark.parametrize("cap, expected", [
    ("8.6", 0.6), ("5.0", 0.4),
    ("6.1", 0.5), ("x.1", 0.5), (".5", 0.5), ("", 0.5), (None, 0.5), ("abc", 0.5),
    ("7", 0.55), (" 7 .5", 0.55), ("8.9.1", 0.6), ("1_0", 0.6), ("\u0667.0", 0.55),
    ("-3", 0.4), ("+9", 0.6),
])
def test_gpu_suitability_capability(cap, expected):
    assert ps.calculate_gpu_suitability(0.5, 0.5, 0.0, True, cap) == pytest.approx(expected)


def test_gpu_suitability_rules():
    assert ps.calculate_gpu_suitability(1.0, 1.0, 1.0, True, "8.6") == 1.0
    assert ps.calculate_gpu_suitability(1.0, 1.0, 1.0, False, "bogus") == 0.0
    assert ps.calculate_gpu_suitability(1.0, 1.0, 1.0, [], None) == 0.0
    assert ps.calculate_gpu_suitability(-1.0, 0.0, 0.0, "yes", None) == 0.0
    assert ps.calculate_gpu_suitability(0.0, 0.0, 5.0, 1, "6.0") == pytest.approx(0.3)
    assert math.isnan(ps.calculate_gpu_suitability(math.nan, 0.0, 0.0, True, None))
    with pytest.raises(OverflowError):
        ps.calculate_gpu_suitability(0.5, 0.5, 0.0, True, "99999999999.1")
    with pytest.raises(TypeError):
        ps.calculate_gpu_suitability(0.5, 0.5, 0.0, False, 8.6)
    with pytest.raises(TypeError):
        ps.calculate_gpu_suitability("0.5", 0.5, 0.0, True, None)


@pytest.mark.parametrize("args, expected", [
    ((0.9, 1.0, True), 22.5), ((0.8, 0.0, True), 8.0), ((0.6, 0.0, True), 4.0),
    ((0.3, 0.0, True), 2.0), ((0.0, 1.0, True), 1.0), ((0.01, 0.0, True), 2.0),
    ((0.9, 1.0, False), 1.0), ((-0.5, 2.0, True), 4.0), ((0.9, 1.0, 0), 1.0),
])
def test_estimate_gpu_speedup(args, expected):
    assert ps.estimate_gpu_speedup(*args) == expected


PATTERN_BASE = dict(
    cpu_intensity=0.0, memory_intensity=0.0, parallelization_potential=0.0, gpu_suitability=0.0,
    gpu_operation_score=0.0, numpy_score=0.0, pandas_score=0.0, sklearn_score=0.0,
    sequential_count=0, embarrassing_count=0, cpu_threshold=F, memory_threshold=F,
    gpu_threshold=F, numpy_threshold=F, pandas_threshold=F, sklearn_threshold=F,
    gpu_available=False)
GPU = dict(gpu_available=True, gpu_suitability=0.6)


@pytest.mark.parametrize("changes, expected", [
    ({}, 0),
    (dict(sklearn_score=0.6), 12),
    (dict(sklearn_score=0.5), 0),
    (dict(pandas_score=0.6, sklearn_score=0.6), 12),
    (dict(pandas_score=0.6, numpy_score=0.9), 10),
    (dict(numpy_score=0.6, **GPU), 8),
    (dict(numpy_score=0.5, **GPU), 5),
    (dict(gpu_suitability=0.9), 0),                       # no GPU
    (dict(GPU, gpu_suitability=0.5), 0),                  # equal to the threshold
    (dict(GPU, gpu_operation_score=0.8, cpu_intensity=0.7, memory_intensity=0.9), 6),
    (dict(GPU, gpu_operation_score=0.7, cpu_intensity=0.7), 5),
    (dict(GPU, gpu_operation_score=0.8, cpu_intensity=0.6), 5),
    (dict(GPU, gpu_operation_score=0.8, cpu_intensity=0.7, cpu_threshold=0.95), 6),
    (dict(GPU, memory_intensity=0.6, memory_threshold=0.9), 7),
    (dict(GPU, memory_intensity=0.5), 5),
    (dict(GPU, embarrassing_count=1, sequential_count=9), 5),
    (dict(embarrassing_count=1, cpu_intensity=0.9), 3),
    (dict(parallelization_potential=0.61), 3),
    (dict(parallelization_potential=0.6), 0),
    (dict(embarrassing_count=-1), 0),
    (dict(cpu_intensity=0.6, memory_intensity=0.9), 1),
    (dict(cpu_intensity=0.6, cpu_threshold=0.6), 0),
    (dict(memory_intensity=0.6, sequential_count=3), 2),
    (dict(sequential_count=3), 4),
    (dict(sequential_count=2), 0),
    ({k: math.nan for k in PATTERN_BASE if k.endswith(("score", "intensity", "threshold"))}, 0),
])
def test_determine_workload_pattern(changes, expected):
    kwargs = dict(PATTERN_BASE, **changes)
    assert ps.determine_workload_pattern(**kwargs) == expected
    assert ps.determine_workload_pattern(*kwargs.values()) == expected
    assert base.determine_workload_pattern(**kwargs) == expected


class Falsy:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize("index, bad, exc", [(0, "0.1", TypeError), (15, None, TypeError),
                                             (16, Falsy(), ZeroDivisionError)])
def test_workload_pattern_validates_everything_first(index, bad, exc):
    args = list(PATTERN_BASE.values())
    args[7] = 1.0           # rule 1 would decide
    args[index] = bad
    with pytest.raises(exc):
        ps.determine_workload_pattern(*args)


@given(st.lists(st.floats(allow_nan=True), min_size=14, max_size=14),
       st.integers(-5, 5), st.integers(-5, 5), st.booleans())
def test_workload_pattern_matches_baseline(floats, seq, emb, gpu):
    args = floats[:8] + [seq, emb] + floats[8:14] + [gpu]
    got = ps.determine_workload_pattern(*args)
    assert got == base.determine_workload_pattern(*args)
    assert got not in (9, 11, 13)


@pytest.mark.parametrize("args, expected", [
    ((0.5, 0.9, 0.1, 0.1, 0.55), 0.55),
    ((0.5, 0.8, 0.1, 0.1, 0.9), 0.5),
    ((0.5, 0.4, 0.1, 0.1, 0.9), 0.5),
    ((0.5, 0.39, 0.1, 0.1, 0.9), 0.4),
    ((0.5, 0.2, 0.5, 0.1, 0.9), 0.1),
    ((0.5, 0.5, 0.1, 0.9, 0.1), 0.9),    # min > max: the lower bound is tested first
    ((0.95, 0.5, 0.1, 0.9, 0.1), 0.1),
])
def test_update_adaptive_threshold(args, expected):
    assert ps.update_adaptive_threshold(*args) == pytest.approx(expected)
    assert base.update_adaptive_threshold(*args) == pytest.approx(expected)


# ---- reference leaks ---------------------------------------------------------------

def leak_cases(m):
    code = "import numpy as np\nfor i in range(10):\n    x = np.array(df.groupby('a')) @ w + fit(x)\n"
    scores = (0.5, 0.5, 0.5, 0.5, 0.5, 0.1, 0.1, 0.1, 3, 0, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, True)
    return [
        ok("score_indicators", m.score_indicators, code, "benchmark_matmul"),
        ok("score_indicators name None", m.score_indicators, code, None),
        bad("score_indicators(None, None)", TypeError, m.score_indicators, None, None),
        bad("score_indicators(code, 5)", TypeError, m.score_indicators, code, 5),
        ok("score_framework_patterns", m.score_framework_patterns, code),
        bad("score_framework_patterns(None)", TypeError, m.score_framework_patterns, None),
        bad("score_framework_patterns(5)", TypeError, m.score_framework_patterns, 5),
        ok("quick_framework_score", m.quick_framework_score, code, "numpy"),
        ok("quick_framework_score unknown", m.quick_framework_score, code, "NumPy"),
        ok("quick_framework_score None", m.quick_framework_score, code, None),
        bad("quick_framework_score(None, 'numpy')", TypeError, m.quick_framework_score, None, "numpy"),
        bad("quick_framework_score(code, 5)", TypeError, m.quick_framework_score, code, 5),
        ok("normalize_scores", m.normalize_scores, 30, -1, 0, 18, 0),
        bad("normalize_scores(2**31, ...)", OverflowError, m.normalize_scores, I32_OVER, 0, 0, 0, 0),
        bad("normalize_scores('a', ...)", TypeError, m.normalize_scores, "a", 0, 0, 0, 0),
        ok("calculate_parallelization_potential", m.calculate_parallelization_potential, 0.5, 3.0, 0.0, 0.0),
        bad("calculate_parallelization_potential('a', ...)", TypeError,
            m.calculate_parallelization_potential, "a", 0, 0, 0),
        bad("calculate_parallelization_potential raising __float__", ArithmeticError,
            m.calculate_parallelization_potential, RaisingNumber(), 0, 0, 0),
        ok("calculate_gpu_suitability", m.calculate_gpu_suitability, 1.0, 1.0, 1.0, True, "8.6"),
        ok("calculate_gpu_suitability bad capability", m.calculate_gpu_suitability, 0.5, 0.5, 0, True, "x.1"),
        ok("calculate_gpu_suitability None", m.calculate_gpu_suitability, 0.5, 0.5, 0, True, None),
        ok("calculate_gpu_suitability no gpu", m.calculate_gpu_suitability, 0.5, 0.5, 0, False, "8.6"),
        bad("calculate_gpu_suitability huge major", OverflowError,
            m.calculate_gpu_suitability, 0.5, 0.5, 0, True, "99999999999.1"),
        bad("calculate_gpu_suitability capability 5", TypeError,
            m.calculate_gpu_suitability, 0.5, 0.5, 0, False, 5),
        bad("calculate_gpu_suitability raising truth", ArithmeticError,
            m.calculate_gpu_suitability, 0.5, 0.5, 0, RaisingBool(), None),
        ok("estimate_gpu_speedup", m.estimate_gpu_speedup, 0.9, 1.0, True),
        ok("determine_workload_pattern", m.determine_workload_pattern, *scores),
        bad("determine_workload_pattern count overflow", OverflowError,
            m.determine_workload_pattern, *scores[:8], I32_OVER, *scores[9:]),
        bad("determine_workload_pattern('a', ...)", TypeError, m.determine_workload_pattern, "a", *scores[1:]),
        ok("update_adaptive_threshold", m.update_adaptive_threshold, 0.5, 0.9, 0.1, 0.1, 0.55),
        bad("update_adaptive_threshold('a', ...)", TypeError, m.update_adaptive_threshold, "a", 0, 0, 0, 0),
    ]


test_no_leak = leakcheck.no_leak_test("korvane.plugins.analyzer.pattern_scoring", leak_cases)
test_every_public_callable_has_a_leak_case = leakcheck.coverage_test("korvane.plugins.analyzer.pattern_scoring", leak_cases)
