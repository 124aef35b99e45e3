"""vantry.wordsift against the same checker written in plain Python.

    python -m bench.wordsift_bench        (VANTRY_BENCH_QUICK=1 for a short run)

The floor is ``PyPromptBanChecker`` below: the lexicon assembly, both engines
and the checks written as plain Python from the same algorithm steps (with the
same restricted unpickler, "utf-8-sig" decoding and engine swap order), over
the same pyahocorasick and ``re``.
"""

import contextlib
import gc
import io
import os
import pickle
import re
import sys

import ahocorasick

from bench import harness
from bench.harness import Table
from vantry import wordsift
from vantry.excode import PromptBanError
from vantry.wordsift import PromptBanChecker

_AC_THRESHOLD = 50
_HAS_AC = True


def _xor(data, key):
    n = len(key)
    return bytes(b ^ key[i % n] for i, b in enumerate(data))


class _RestrictedUnpickler(pickle.Unpickler):
    def find_class(self, module, name):
        raise pickle.UnpicklingError(f"pickle 文件禁止引用全局对象: {module}.{name}")


def _load_default_words():
    try:
        from vantry._lexivault import _ED, _EK

        data = _RestrictedUnpickler(io.BytesIO(_xor(_ED, _EK))).load()
        return data if isinstance(data, list) else []
    except Exception:
        return []


class PyPromptBanChecker:
    def __init__(self, ban_word_file=None, ignore_case=True, builtin_words=None, use_default=True, exclude_words=None):
        self.ban_word_file = ban_word_file
        self.ignore_case = bool(ignore_case)
        self.builtin_words = builtin_words or []
        self.use_default = bool(use_default)
        self.exclude_words = exclude_words or []
        self.banned_words = []
        self._ban_regex = None
        self._automaton = None
        self.load_banned_words()

    def load_banned_words(self):
        seen, word_list = set(), []

        def _add_words(words):
            for item in words:
                w = item.strip()
                if w and w not in seen:
                    seen.add(w)
                    word_list.append(w)

        if self.use_default:
            _add_words(_load_default_words())
        _add_words(self.builtin_words)
        if self.ban_word_file:
            if not os.path.exists(self.ban_word_file):
                raise FileNotFoundError(f"违禁词文件不存在: {self.ban_word_file}")
            _add_words(self._load_from_file(self.ban_word_file))
        if self.exclude_words:
            if self.ignore_case:
                excluded = {w.strip().lower() for w in self.exclude_words if w.strip()}
                word_list = [w for w in word_list if w.lower() not in excluded]
            else:
                excluded = {w.strip() for w in self.exclude_words if w.strip()}
                word_list = [w for w in word_list if w not in excluded]
        word_list.sort(key=len, reverse=True)
        self.banned_words = word_list
        self._build_engine()

    @staticmethod
    def _load_from_file(file_path):
        ext = os.path.splitext(file_path)[1].lower()
        if ext in (".pkl", ".pickle"):
            with open(file_path, "rb") as f:
                data = _RestrictedUnpickler(f).load()
            if not isinstance(data, list):
                raise ValueError(f"pickle 文件内容必须是 list，当前类型: {type(data).__name__}")
            return [str(w) for w in data]
        with open(file_path, "r", encoding="utf-8-sig") as f:
            return [line.strip() for line in f]

    def _build_engine(self):
        if not self.banned_words:
            self._ban_regex = None
            self._automaton = None
            return
        if len(self.banned_words) >= _AC_THRESHOLD and _HAS_AC:
            self._automaton = self._build_automaton()
            self._ban_regex = None
        else:
            pattern = "|".join(re.escape(w) for w in self.banned_words)
            self._ban_regex = re.compile(pattern, flags=re.IGNORECASE if self.ignore_case else 0)
            self._automaton = None

    def _build_automaton(self):
        auto = ahocorasick.Automaton()
        for word in self.banned_words:
            auto.add_word(word.lower() if self.ignore_case else word, word)
        auto.make_automaton()
        return auto

    def find_matched_words(self, text):
        if self._automaton:
            search = text.lower() if self.ignore_case else text
            return list({value for _, value in self._automaton.iter(search)})
        if not self._ban_regex:
            return []
        return list(set(self._ban_regex.findall(text)))

    def _has_banned_word(self, text):
        if self._automaton:
            search = text.lower() if self.ignore_case else text
            for _ in self._automaton.iter(search):
                return True
            return False
        if not self._ban_regex:
            return False
        return bool(self._ban_regex.search(text))

    def check(self, prompt):
        if not self._has_banned_word(prompt):
            return prompt
        hit_words = self.find_matched_words(prompt)
        raise PromptBanError(error_msg="违禁词: " + ",".join(hit_words), data=hit_words)


# A clean prompt of English and Chinese as a pipeline sends it.
CLEAN = (
    "a watercolor painting of a quiet harbour at dawn, fishing boats, soft golden light, gentle mist, "
    "highly detailed, 8k, 清晨的港口，渔船，柔和的金色光线，薄雾，细节丰富，"
)
SMALL_LEXICON = [f"blocked{i}" for i in range(40)]
AUTOMATON, REGEX = "automaton", "regex"


def prompt_of(length):
    return (CLEAN * (length // len(CLEAN) + 1))[:length]


def lexicon_of(count):
    """`count` distinct words, half Latin, half Chinese, none found in CLEAN."""
    return [f"zq{i:06d}x" if i % 2 else f"禁{i:06d}词" for i in range(count)]


def size_text(length):
    if length >= 1 << 20:
        return f"{length >> 20} M chars"
    if length >= 1 << 10:
        return f"{length >> 10} K chars"
    return f"{length} chars"


@contextlib.contextmanager
def engine(name):
    """Both checkers build the automaton (the default) or, with pyahocorasick
    hidden from them, the regular expression."""
    global _HAS_AC
    wordsift._HAS_AC = _HAS_AC = name == AUTOMATON
    try:
        yield
    finally:
        wordsift._HAS_AC = _HAS_AC = True


def construction(table):
    with engine(AUTOMATON):
        table.compare("PromptBanChecker() default lexicon", f"{len(PromptBanChecker().banned_words)} words, automaton",
                      PromptBanChecker, PyPromptBanChecker, target=3)
    counts = [10, 1000] if harness.QUICK else [10, 1000, 100_000]
    for name in (AUTOMATON, REGEX):
        for count in counts:
            words = lexicon_of(count)
            with engine(name):
                used = AUTOMATON if PromptBanChecker(builtin_words=words, use_default=False)._automaton else REGEX
                if used != name:
                    continue  # below the automaton threshold only the regex engine is built
                table.compare(f"PromptBanChecker(builtin_words=...), {name}", f"{count} words",
                              lambda: PromptBanChecker(builtin_words=words, use_default=False),
                              lambda: PyPromptBanChecker(builtin_words=words, use_default=False),
                              series=("construction", name, count))


def checks(table):
    lengths = [20, 200, 1 << 10, 1 << 14, 1 << 16] if harness.QUICK else \
        [20, 200, 1 << 10, 1 << 12, 1 << 14, 1 << 16, 1 << 18, 1 << 20]
    for name in (AUTOMATON, REGEX):
        with engine(name):
            ours, floor = PromptBanChecker(), PyPromptBanChecker()
        assert (ours._automaton is not None) == (name == AUTOMATON)
        for length in lengths:
            prompt = prompt_of(length)
            assert ours.check(prompt) is prompt and floor.check(prompt) is prompt
            table.compare(f"check, {name}, default lexicon", size_text(length), lambda: ours.check(prompt),
                          lambda: floor.check(prompt), target=1.5 if length == 200 else None,
                          series=("check", name, length))
        for length in lengths:
            prompt = prompt_of(length)
            table.compare(f"find_matched_words, {name}, default lexicon", size_text(length),
                          lambda: ours.find_matched_words(prompt), lambda: floor.find_matched_words(prompt),
                          series=("find_matched_words", name, length))


def refusals(table):
    prompt = prompt_of(200)
    ours = PromptBanChecker(builtin_words=SMALL_LEXICON, use_default=False)
    floor = PyPromptBanChecker(builtin_words=SMALL_LEXICON, use_default=False)
    assert ours._ban_regex is not None and floor._ban_regex is not None
    table.compare("check, regex (40 words)", "200 chars", lambda: ours.check(prompt), lambda: floor.check(prompt),
                  target=1.5)

    dirty = prompt[:150] + " nude " + prompt[150:]
    ours, floor = PromptBanChecker(), PyPromptBanChecker()

    def raising(checker):
        def run():
            try:
                checker.check(dirty)
            except PromptBanError:
                return
            raise AssertionError("not refused")

        return run

    table.compare("check refusing, automaton", "206 chars", raising(ours), raising(floor))
    table.compare("find_matched_words, automaton, 1 hit", "206 chars", lambda: ours.find_matched_words(dirty),
                  lambda: floor.find_matched_words(dirty))


def xor_and_lexicon(table):
    from vantry._lexivault import _ED, _EK

    table.compare("_load_default_words", f"{len(_ED)} B lexicon", wordsift._load_default_words, _load_default_words)
    sizes = [1 << 10, 1 << 20] if harness.QUICK else [1 << 10, 1 << 16, 1 << 20, 1 << 24]
    for size in sizes:
        data = os.urandom(size)
        assert wordsift._xor(data, _EK) == _xor(data, _EK)
        label = f"{size >> 20} MB" if size >= 1 << 20 else f"{size >> 10} KB"
        table.compare("_xor", label, lambda: wordsift._xor(data, _EK), lambda: _xor(data, _EK),
                      target=100 if size == 1 << 20 else None, series=("xor", "_xor", size))


class HeapMeter:
    """Bytes held by the C heap and by Python's allocators, for memory rows."""

    def __enter__(self):
        import ctypes
        import tracemalloc

        class MallInfo2(ctypes.Structure):
            _fields_ = [(n, ctypes.c_size_t) for n in
                        "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]

        self.libc = ctypes.CDLL("libc.so.6")
        self.libc.mallinfo2.restype = MallInfo2
        self.tracemalloc = tracemalloc
        tracemalloc.start()
        return self

    def __exit__(self, *exc):
        self.tracemalloc.stop()

    def used(self):
        gc.collect()
        info = self.libc.mallinfo2()
        return info.uordblks + info.hblkhd + self.tracemalloc.get_traced_memory()[0]


def memory(table):
    """What a 100,000-word checker keeps against its pyahocorasick automaton alone, and
    what stays allocated once the last checker is gone (glibc heap + Python allocators)."""
    if not sys.platform.startswith("linux"):
        return
    count = 10_000 if harness.QUICK else 100_000
    words = lexicon_of(count)
    keys = [w.lower() for w in words]
    with HeapMeter() as meter:
        before = meter.used()
        automaton = ahocorasick.Automaton()
        for key, word in zip(keys, words):
            automaton.add_word(key, word)
        automaton.make_automaton()
        alone = meter.used() - before
        del automaton
        before = meter.used()
        checker = PromptBanChecker(builtin_words=words, use_default=False)
        kept = meter.used() - before
        del checker
        left = meter.used() - before
    table.memory("memory kept by a checker vs its automaton alone", f"{count} words", kept, alone, target=1.5)
    table.memory("memory left after the last checker is gone vs what it kept", f"{count} words", max(left, 0), kept,
                 target=0.01)


def run(table):
    memory(table)
    construction(table)
    checks(table)
    refusals(table)
    xor_and_lexicon(table)


if __name__ == "__main__":
    table = Table("vantry.wordsift against the same checker in plain Python")
    run(table)
    table.print()
