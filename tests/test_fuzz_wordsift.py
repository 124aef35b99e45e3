"""Arbitrary prompts and lexicons into the prompt checker, against the
plain-Python engines: the compiled alternation and an automaton stand-in.

The words and prompts share an alphabet of letters whose case rules are
unusual (dotless i, long s, Kelvin sign, final sigma, ß), caseless scripts,
emoji, combining marks, NUL and lone surrogates, so that the checker's own
first-hit matcher meets every case it must hand back to the real engine.
"""

import re
import subprocess
import sys
import textwrap

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from fuzzsupport import fuzz
from vantry import wordsift
from vantry.wordsift import PromptBanChecker, PromptBanError

ALPHABET = "abkKsSiIıİſµμΣσςßẞǅǆ\u212a\u2126Ωω中文字ア한🙂\u0301\x00\ud800 .*(|\\" + "Ａａ"
letters = st.sampled_from(ALPHABET) | st.characters(exclude_categories=())
word = st.text(letters, min_size=1, max_size=4)
prompt = st.text(letters, max_size=40)


def regex_oracle(words, ignore_case):
    return re.compile("|".join(map(re.escape, words)), re.IGNORECASE if ignore_case else 0)


def automaton_oracle_hits(words, ignore_case, text):
    """The values an automaton of `words` yields for `text`: later duplicates of a key win."""
    values = {}
    for w in words:
        values[w.lower() if ignore_case else w] = w
    search = text.lower() if ignore_case else text
    return {v for k, v in values.items() if k in search}


def check_invariants(checker):
    words = checker.banned_words
    assert all(type(w) is str and w and w == w.strip() for w in words)
    assert len(set(words)) == len(words)
    assert [len(w) for w in words] == sorted((len(w) for w in words), reverse=True)


def expected_hits(checker, text):
    words = checker.banned_words
    if not words:
        return set()
    if checker._automaton is not None:
        return automaton_oracle_hits(words, checker.ignore_case, text)
    return set(regex_oracle(words, checker.ignore_case).findall(text))


def assert_checks_agree(checker, text):
    want = expected_hits(checker, text)
    assert checker._has_banned_word(text) == bool(want), (checker.banned_words, text)
    assert set(checker.find_matched_words(text)) == want
    try:
        assert checker.check(text) is text
        assert not want
    except PromptBanError as err:
        assert set(err.data) == want and len(err.data) == len(want)
        assert err.error_msg == "违禁词: " + ",".join(err.data)


engines = pytest.mark.parametrize(
    "automaton", [False, pytest.param(True, marks=pytest.mark.skipif(not wordsift._HAS_AC, reason="no pyahocorasick"))]
)


@engines
@fuzz()
@given(words=st.lists(word, min_size=1, max_size=8), prompts=st.lists(prompt, min_size=1, max_size=4),
       ignore_case=st.booleans())
@example(words=["k"], prompts=["\u212a", "K"], ignore_case=True)
@example(words=["s"], prompts=["ſ"], ignore_case=True)
@example(words=["i"], prompts=["ı", "İ"], ignore_case=True)
@example(words=["σ"], prompts=["ς", "Σ"], ignore_case=True)
@example(words=["ß"], prompts=["ẞ", "SS"], ignore_case=True)
@example(words=["a\u0301"], prompts=["xa\u0301x", "á"], ignore_case=False)
@example(words=["\ud800"], prompts=["x\ud800x"], ignore_case=True)
def test_checks_match_the_plain_engines(automaton, words, prompts, ignore_case):
    padding = [f"\x01pad{i}\x01" for i in range(50)] if automaton else []
    saved = wordsift._HAS_AC
    wordsift._HAS_AC = automaton
    try:
        checker = PromptBanChecker(builtin_words=words + padding, use_default=False, ignore_case=ignore_case)
    finally:
        wordsift._HAS_AC = saved
    check_invariants(checker)
    assert (checker._automaton is not None) == (automaton and len(checker.banned_words) >= 50)
    for text in prompts + ["".join(prompts), "".join(words)]:
        assert_checks_agree(checker, text)


@fuzz()
@given(st.lists(prompt, min_size=1, max_size=5), st.booleans())
def test_default_lexicon_checks_arbitrary_prompts(prompts, ignore_case):
    checker = default_checker(ignore_case)
    sample = checker.banned_words[:: max(1, len(checker.banned_words) // 7)]
    for text in prompts + [p + w.upper() + p for p, w in zip(prompts, sample)]:
        assert_checks_agree(checker, text)


_DEFAULT = {}


def default_checker(ignore_case):
    if ignore_case not in _DEFAULT:
        _DEFAULT[ignore_case] = PromptBanChecker(ignore_case=ignore_case)
    return _DEFAULT[ignore_case]


def test_megabyte_prompts():
    checker = default_checker(True)
    word = checker.banned_words[-1]
    for text in ["x" * (1 << 20), "中" * (1 << 20), "x" * (1 << 20) + word.upper(), "\ud800" * (1 << 20)]:
        assert_checks_agree(checker, text)


@fuzz()
@given(st.lists(st.text(letters, max_size=5) | st.sampled_from(["", " ", "\u3000", "\x85"]), max_size=12),
       st.lists(st.text(letters, max_size=5), max_size=4), st.booleans())
def test_lexicon_invariants_for_arbitrary_words(words, exclude, ignore_case):
    checker = PromptBanChecker(builtin_words=words, exclude_words=exclude, use_default=False, ignore_case=ignore_case)
    check_invariants(checker)
    fold = str.lower if ignore_case else (lambda w: w)
    dropped = {fold(e.strip()) for e in exclude if e.strip()}
    expected = []
    for w in words:
        w = w.strip()
        if w and w not in expected:
            expected.append(w)
    expected = [w for w in expected if fold(w) not in dropped]
    assert checker.banned_words == sorted(expected, key=len, reverse=True)


# ---- regression: an engine that re-enters the checker -----------------------------------------

REENTRANT_ENGINE = textwrap.dedent(
    """
    import types
    from vantry import wordsift
    from vantry.wordsift import PromptBanChecker

    class Automaton:
        victim = None
        kind = 2
        def __init__(self): self.keys = {}
        def add_word(self, key, value): self.keys[key] = value
        def make_automaton(self): pass
        def __bool__(self): return True
        def __len__(self):
            victim, Automaton.victim = Automaton.victim, None
            if victim is not None:
                victim.banned_words = []
                victim._build_engine()  # drops the engine the check is using
                for i in range(100):
                    PromptBanChecker(builtin_words=[f"w{i}"], use_default=False)
            return len(self.keys)
        def iter(self, text):
            return ((0, v) for k, v in self.keys.items() if k in text)

    wordsift.ahocorasick = types.SimpleNamespace(Automaton=Automaton)
    wordsift._HAS_AC = True
    checker = PromptBanChecker(builtin_words=[f"word{i}" for i in range(60)], use_default=False)
    for text in ["xx word3 xx", "clean"]:
        Automaton.victim = checker
        print(checker._has_banned_word(text))
    """
)


def test_an_engine_whose_len_rebuilds_the_checker_is_survived():
    # The first-hit test used to read its engine record after calling len()
    # on the engine, which here frees that record.
    proc = subprocess.run([sys.executable, "-c", REENTRANT_ENGINE], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["True", "False"]
