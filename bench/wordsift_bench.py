"""vantry.wordsift against what a user would write instead.

    python -m bench --only wordsift [--quick]

One function per family of rows:

- ``memory``: a 100,000-word checker against its pyahocorasick automaton alone.
- ``construction``: cold builds, every call on a lexicon no earlier build in the
  process has seen (a per-call salt in every word, so neither a cache of ours nor
  ``re``'s pattern cache can serve it), against the by-hand build: strip,
  de-duplicate, sort longest first and build a pyahocorasick automaton (or
  compile the alternation, for the regex engine).
- ``first_build``: ``PromptBanChecker()`` as the first build in a fresh process,
  against the by-hand build of the deciphered default list in a fresh process.
- ``checks_by_length``: check on a clean prompt of growing length, both engines,
  against the same checker in plain Python (``PyPromptBanChecker`` below).
- ``checks_by_script``: check on clean prompts of 50-400 characters in each script
  against the same-length ASCII prompts, per engine and ``ignore_case`` setting.
- ``checks_vs_alternatives``: check on clean prompts, 40 to 100,000 words, against
  pyahocorasick's first hit, flashtext and ``re``.
- ``find_matched``: find_matched_words on prompts with hits, 10 to 100,000 words,
  against pyahocorasick's own ``iter``, a plain loop and ``re.findall``.
- ``refusals``: check on a banned prompt, both engines.
- ``normalized``: ``normalize=True`` against ``normalize=False`` on the same clean prompts
  (ASCII and mixed-script, both engines), and building the default checker with it
  against without it.
- ``dataset``: one million captions screened end to end (20,000 in quick mode): check in a loop,
  check_many on the whole list (on every CPU and on one thread) and ``vantry screen``, against
  pyahocorasick, flashtext and hyperscan by hand (hyperscan's rows are left out when it is missing).
- ``xor_and_lexicon``: the cipher and the built-in lexicon.

Prompts come from bench/prompts.py, the same for a given seed.
"""

import collections
import contextlib
import functools
import gc
import inspect
import io
import itertools
import os
import pathlib
import pickle
import random
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap

import ahocorasick

from bench import harness, prompts
from bench.harness import RELATIVE, Table
from vantry import wordsift
from vantry.excode import PromptBanError
from vantry.wordsift import PromptBanChecker

try:
    from flashtext import KeywordProcessor
except ImportError:  # the bench extra installs it; without it the flashtext rows are left out
    KeywordProcessor = None

try:
    import hyperscan
except ImportError:  # the bench extra installs it; without it the hyperscan rows are left out, with a note
    hyperscan = None

_AC_THRESHOLD = 50
_HAS_AC = True
SEED = 20240917
PROMPTS_PER_ROW = 200


# ---- the same checker in plain Python --------------------------------------------------------


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
    """The lexicon assembly, both engines and the checks as plain Python from the same
    algorithm steps (same restricted unpickler, "utf-8-sig" decoding, engine swap order)."""

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


# ---- what a user writes by hand -----------------------------------------------------------------


def by_hand_automaton(words, ignore_case=True):
    """Strip and de-duplicate the words, sort them longest first, build one automaton."""
    unique = [w for w in dict.fromkeys(w.strip() for w in words) if w]
    unique.sort(key=len, reverse=True)
    automaton = ahocorasick.Automaton()
    for word in unique:
        automaton.add_word(word.lower() if ignore_case else word, word)
    automaton.make_automaton()
    return automaton


def by_hand_regex(words, ignore_case=True):
    """Strip and de-duplicate the words, sort them longest first, compile their alternation."""
    unique = [w for w in dict.fromkeys(w.strip() for w in words) if w]
    unique.sort(key=len, reverse=True)
    return re.compile("|".join(map(re.escape, unique)), re.IGNORECASE if ignore_case else 0)


def by_hand_flashtext(words):
    keywords = KeywordProcessor()
    keywords.add_keywords_from_list(list(dict.fromkeys(w.strip() for w in words)))
    return keywords


def by_hand_hyperscan(words):
    """The words as caseless UTF-8 literals (every ASCII character but letters and digits
    escaped), each reported once, in one block-mode database."""
    escaped = ["".join(c if c.isalnum() or ord(c) > 127 else f"\\x{ord(c):02x}" for c in w).encode() for w in words]
    database = hyperscan.Database(mode=hyperscan.HS_MODE_BLOCK)
    database.compile(expressions=escaped, ids=list(range(len(words))), elements=len(words),
                     flags=hyperscan.HS_FLAG_CASELESS | hyperscan.HS_FLAG_SINGLEMATCH | hyperscan.HS_FLAG_UTF8)
    return database


def first_hit(automaton):
    return lambda text: next(automaton.iter(text.lower()), None) is not None


def all_hits(automaton):
    return lambda text: {value for _, value in automaton.iter(text.lower())}


# ---- lexicons, prompts, engines -----------------------------------------------------------------

AUTOMATON, REGEX = "automaton", "regex"


@functools.cache
def default_words():
    return tuple(PromptBanChecker().banned_words)


def lexicon_of(count):
    """`count` words: the built-in lexicon (an even sample of it below its size), then
    pairs of its words. No clean prompt holds a built-in word, so none holds these."""
    base = list(default_words())
    if count <= len(base):
        return base[:: len(base) // count][:count]
    rng = random.Random(count)
    words = dict.fromkeys(base)
    while len(words) < count:
        a, b = rng.choice(base), rng.choice(base)
        words[f"{a} {b}" if a.isascii() else a + b] = None
    return list(words)


_salts = itertools.count()


def salted(words):
    """A maker of new lexicons: `words` with a salt no earlier call gave, in every word."""

    def fresh():
        salt = f"#{next(_salts):x}"
        return [w + salt for w in words]

    return fresh


def batch(fn, texts):
    """One call of fn per text, with the least loop overhead (the row divides by len(texts))."""
    return lambda: collections.deque(map(fn, texts), maxlen=0)


@functools.cache
def clean_prompts(script, count=PROMPTS_PER_ROW):
    """Prompts of `script`, 50-400 characters, clean for the built-in lexicon (so for every
    lexicon here), with the same list of lengths for every script."""
    checker = PromptBanChecker()
    return prompts.clean_texts(script, prompts.lengths(count, SEED), SEED, lambda t: not checker._has_banned_word(t))


def dirty_prompts(words, count=PROMPTS_PER_ROW):
    """Mixed-script prompts with one to three of `words` in them."""
    rng = random.Random(SEED)
    return [prompts.with_words(rng, text, words, rng.randint(1, 3)) for text in clean_prompts("mixed", count)]


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


def engine_of(checker):
    return AUTOMATON if checker._automaton is not None else REGEX


def sizes(quick, full):
    return quick if harness.QUICK else full


# ---- memory -------------------------------------------------------------------------------------


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
    """What a 100,000-word checker keeps after its first check (engine, lexicon and fast
    matcher) against its pyahocorasick automaton alone, and what stays allocated once the
    last checker is gone (glibc heap + Python allocators)."""
    if not sys.platform.startswith("linux"):
        return
    count = sizes(10_000, 100_000)
    words = lexicon_of(count)
    with HeapMeter() as meter:
        before = meter.used()
        automaton = by_hand_automaton(words)
        alone = meter.used() - before
        del automaton
        before = meter.used()
        checker = PromptBanChecker(builtin_words=words, use_default=False)
        assert checker.check(CLEAN) is CLEAN  # the first check builds the fast matcher: counted too
        kept = meter.used() - before
        del checker
        left = meter.used() - before
    table.memory("memory kept by a checker after its first check vs its automaton alone", f"{count} words", kept,
                 alone, target=1.5)
    table.memory("memory left after the last checker is gone vs what it kept", f"{count} words", max(left, 0), kept,
                 target=0.01)


# ---- construction -------------------------------------------------------------------------------


def construction(table):
    """Cold builds: every call gets a lexicon no build in the process has seen before."""
    counts = sizes([10, 1000, 10_000], [10, 1000, 10_000, 100_000])
    ours = lambda words: PromptBanChecker(builtin_words=words, use_default=False)  # noqa: E731
    for count in counts:
        words = lexicon_of(count)
        used = engine_of(ours(words))
        if used != AUTOMATON:
            continue  # below the threshold the checker builds a pattern: the rows below
        table.compare_fresh("cold build, a salted lexicon new to the process per call, vs by-hand dedupe+sort+"
                            "pyahocorasick", f"{count} words, {used}", ours, by_hand_automaton,
                            salted(words), target=1.0 if count >= 1000 else None,
                            series=("construction", AUTOMATON, count))
    with engine(REGEX):
        for count in counts:
            table.compare_fresh("cold build, a salted lexicon new to the process per call, vs by-hand dedupe+sort+"
                                "re.compile", f"{count} words, regex", ours, by_hand_regex,
                                salted(lexicon_of(count)), series=("construction", REGEX, count))


FIRST_BUILD = """
import time
from vantry.wordsift import PromptBanChecker
start = time.perf_counter()
PromptBanChecker()
print(time.perf_counter() - start)
"""

FIRST_BUILD_BY_HAND = """
import pickle, sys, time
import ahocorasick
with open(sys.argv[1], "rb") as f:
    words = pickle.load(f)
{function}
start = time.perf_counter()
by_hand_automaton(words)
print(time.perf_counter() - start)
"""


def first_build(table):
    """The default checker as the first build of a fresh process; the by-hand side starts
    from the deciphered word list, as a user holding the list would."""
    with tempfile.TemporaryDirectory() as folder:
        words_file = os.path.join(folder, "words.pkl")
        with open(words_file, "wb") as f:
            pickle.dump(wordsift._load_default_words(), f)
        by_hand = FIRST_BUILD_BY_HAND.format(function=textwrap.dedent(inspect.getsource(by_hand_automaton)))
        table.fresh_processes("PromptBanChecker() first build in a fresh process vs by-hand dedupe+sort+"
                              "pyahocorasick", f"{len(default_words())} words, deciphered list",
                              [sys.executable, "-c", FIRST_BUILD], [sys.executable, "-c", by_hand, words_file],
                              bound=1.6e-3)


# ---- checks ---------------------------------------------------------------------------------------


CLEAN = (
    "a watercolor painting of a quiet harbour at dawn, fishing boats, soft golden light, gentle mist, "
    "highly detailed, 8k, 清晨的港口，渔船，柔和的金色光线，薄雾，细节丰富，"
)


def prompt_of(length):
    return (CLEAN * (length // len(CLEAN) + 1))[:length]


def size_text(length):
    if length >= 1 << 20:
        return f"{length >> 20} M chars"
    if length >= 1 << 10:
        return f"{length >> 10} K chars"
    return f"{length} chars"


def checks_by_length(table):
    """How check grows with the prompt, both engines on the built-in lexicon."""
    lengths = sizes([20, 200, 1 << 10, 1 << 14, 1 << 16], [20, 200, 1 << 10, 1 << 12, 1 << 14, 1 << 16, 1 << 18, 1 << 20])
    for name in (AUTOMATON, REGEX):
        with engine(name):
            ours, floor = PromptBanChecker(), PyPromptBanChecker()
        assert engine_of(ours) == name
        for length in lengths:
            prompt = prompt_of(length)
            assert ours.check(prompt) is prompt and floor.check(prompt) is prompt
            table.compare(f"check, {name}, default lexicon, vs the same checker in plain Python", size_text(length),
                          lambda: ours.check(prompt), lambda: floor.check(prompt),
                          target=1.5 if length == 200 else None, series=("check", name, length))


def checks_by_script(table):
    """check on clean prompts in each script against the same-length ASCII prompts, for each
    engine (automaton: the built-in lexicon; regex: 40 of its words) and ignore_case setting.
    The ASCII row of each setting is against the same checker in plain Python."""
    texts = {script: clean_prompts(script) for script in prompts.SCRIPTS}
    lexicons = {AUTOMATON: list(default_words()), REGEX: lexicon_of(40)}
    for name, words in lexicons.items():
        for ignore_case in (True, False):
            ours = PromptBanChecker(builtin_words=words, use_default=False, ignore_case=ignore_case)
            floor = PyPromptBanChecker(builtin_words=words, use_default=False, ignore_case=ignore_case)
            assert engine_of(ours) == engine_of(floor) == name
            setting = f"check, {name} {len(words)} words, ignore_case {'on' if ignore_case else 'off'}"
            reference = texts["ASCII"]
            table.compare(f"{setting}: ASCII vs the same checker in plain Python", "50-400 chars",
                          batch(ours.check, reference), batch(floor.check, reference), per=len(reference))
            for script in prompts.SCRIPTS[1:]:
                table.compare(f"{setting}: {script} vs ASCII", "50-400 chars", batch(ours.check, texts[script]),
                              batch(ours.check, reference), kind=RELATIVE, target=1.5, per=len(reference))


def checks_vs_alternatives(table):
    """check on clean mixed-script prompts against what a user would write with pyahocorasick
    (first hit of iter over text.lower()), flashtext and re (a search of the alternation)."""
    texts = clean_prompts("mixed")
    for count in sizes([40, 1000], [40, 1000, 10_000, 100_000]):
        words = lexicon_of(count)
        ours = PromptBanChecker(builtin_words=words, use_default=False)
        size = f"{count} words, {engine_of(ours)}"
        alternatives = [("pyahocorasick first hit", first_hit(by_hand_automaton(words)), texts)]
        if KeywordProcessor:
            alternatives.append(("flashtext extract_keywords", by_hand_flashtext(words).extract_keywords, texts))
        if count <= 10_000:  # a 100,000-word alternation takes seconds to compile and 0.1 s a search
            alternatives.append(("re search", by_hand_regex(words).search, texts[: 20 if count >= 10_000 else None]))
        for label, alternative, subset in alternatives:
            table.compare(f"check, clean prompt, vs {label}", size, batch(ours.check, subset),
                          batch(alternative, subset), target=1.0, per=len(subset))


def find_matched(table):
    """find_matched_words on mixed-script prompts holding one to three lexicon words (some in
    capitals) against pyahocorasick's own iter over the same words, and for small lexicons
    against a plain loop over the words and re.findall."""
    for count in sizes([10, 1000, 10_000], [10, 1000, 10_000, 100_000]):
        words = lexicon_of(count)
        ours = PromptBanChecker(builtin_words=words, use_default=False)
        used = engine_of(ours)
        texts = dirty_prompts(words)
        size = f"{count} words, {used}"
        table.compare("find_matched_words, 1-3 hits, vs pyahocorasick {v for _, v in A.iter(text.lower())}",
                      size, batch(ours.find_matched_words, texts), batch(all_hits(by_hand_automaton(words)), texts),
                      target=1.0, per=len(texts), series=("find_matched_words", used, count))
        if count <= 1000:
            keys = [(w.lower(), w) for w in words]

            def plain_loop(text):
                low = text.lower()
                return [w for key, w in keys if key in low]

            regex = by_hand_regex(words)
            table.compare("find_matched_words, 1-3 hits, vs a plain loop: [w for w in words if w in text]", size,
                          batch(ours.find_matched_words, texts), batch(plain_loop, texts), per=len(texts))
            table.compare("find_matched_words, 1-3 hits, vs set(re.findall)", size,
                          batch(ours.find_matched_words, texts), batch(lambda t: set(regex.findall(t)), texts),
                          per=len(texts))


def refusals(table):
    """check on a banned prompt: the first-hit test, the hit list and the exception."""

    def raising(checker, texts):
        def run():
            for text in texts:
                try:
                    checker.check(text)
                except PromptBanError:
                    continue
                raise AssertionError("not refused")

        return run

    for name, words in ((AUTOMATON, list(default_words())), (REGEX, lexicon_of(40))):
        ours = PromptBanChecker(builtin_words=words, use_default=False)
        floor = PyPromptBanChecker(builtin_words=words, use_default=False)
        texts = dirty_prompts(words)
        table.compare(f"check refusing, {name} {len(words)} words, vs the same checker in plain Python",
                      "50-400 chars, 1-3 hits", raising(ours, texts), raising(floor, texts), per=len(texts))


# ---- a data set, end to end -------------------------------------------------------------------------

SCREEN_BY_HAND = """
import sys
{build}
with open(sys.argv[1], encoding="utf-8") as f:
    words = [line.strip() for line in f]
{prepare}
for line in sys.stdin:
    prompt = line.rstrip("\\n")
    if not prompt.strip():
        continue
    hits = sorted({find})
    print("banned: " + ", ".join(hits) if hits else "ok")
"""
SCREEN_WITH_PYAHOCORASICK = SCREEN_BY_HAND.format(
    build="import ahocorasick", prepare=textwrap.dedent(inspect.getsource(by_hand_automaton)) +
    "automaton = by_hand_automaton(words)", find="{v for _, v in automaton.iter(prompt.lower())}")
SCREEN_WITH_FLASHTEXT = SCREEN_BY_HAND.format(
    build="from flashtext import KeywordProcessor", prepare="keywords = KeywordProcessor()\n"
    "keywords.add_keywords_from_list(list(dict.fromkeys(words)))", find="set(keywords.extract_keywords(prompt))")

SCREEN_WITH_HYPERSCAN = SCREEN_BY_HAND.format(
    build="import hyperscan", prepare=textwrap.dedent(inspect.getsource(by_hand_hyperscan)) +
    "database = by_hand_hyperscan(words)\n"
    "found = set()\n"
    "on_match = lambda i, start, end, flags, context: found.add(words[i])\n"
    "def hits_of(prompt):\n"
    "    found.clear()\n"
    "    database.scan(prompt.encode(), match_event_handler=on_match)\n"
    "    return found", find="hits_of(prompt)")


def screen_with_check(texts):
    check, banned = PromptBanChecker().check, 0
    for text in texts:
        try:
            check(text)
        except PromptBanError:
            banned += 1
    return banned


def screen_with_pyahocorasick(texts):
    hits_of, banned = all_hits(by_hand_automaton(default_words())), 0
    for text in texts:
        if hits_of(text):
            banned += 1
    return banned


def screen_with_flashtext(texts):
    extract, banned = by_hand_flashtext(default_words()).extract_keywords, 0
    for text in texts:
        if extract(text):
            banned += 1
    return banned


def usable_cpus():
    return os.process_cpu_count() if hasattr(os, "process_cpu_count") else len(os.sched_getaffinity(0))


def screen_with_check_many(texts, threads=None):
    return sum(PromptBanChecker().check_many(texts, threads=threads))


def screen_with_hyperscan(texts):
    database, banned, hit = by_hand_hyperscan(default_words()), 0, []

    def on_match(i, start, end, flags, context):
        hit.append(i)
        return True  # the first hit ends the scan

    for text in texts:
        hit.clear()
        try:
            database.scan(text.encode(), match_event_handler=on_match)
        except hyperscan.ScanTerminated:
            pass
        banned += bool(hit)
    return banned


def dataset(table):
    """Captions of 50-400 characters, 37 % with CJK, 3 % holding a built-in word, written to
    a file (seeded): screened by a loop over check, by check_many, by `vantry screen < file`,
    and by the same job written with pyahocorasick, flashtext and hyperscan, in a loop and as
    a script that reads the file. Informational: prompts per second, and how many each flags."""
    count = sizes(20_000, 1_000_000)
    has_banned_word = PromptBanChecker()._has_banned_word
    texts, banned = prompts.dataset(count, SEED, list(default_words()), lambda t: not has_banned_word(t))
    vantry = shutil.which("vantry", path=os.path.dirname(sys.executable))
    screen = [vantry, "screen"] if vantry else [sys.executable, "-m", "vantry", "screen"]
    with tempfile.TemporaryDirectory() as folder:
        data, lexicon = pathlib.Path(folder, "prompts.txt"), pathlib.Path(folder, "words.txt")
        data.write_text("".join(t + "\n" for t in texts), encoding="utf-8")
        lexicon.write_text("".join(w + "\n" for w in default_words()), encoding="utf-8")
        texts = data.read_text(encoding="utf-8").splitlines()
        flagged = {}

        def in_process(name, fn):
            return lambda: flagged.__setitem__(name, fn(texts))

        def script(name, argv):
            def run():
                output = pathlib.Path(folder, name)
                with open(data, "rb") as stdin, open(output, "wb") as out:
                    subprocess.run(argv, stdin=stdin, stdout=out, check=False)  # exit status 1: some were banned
                lines = output.read_text(encoding="utf-8").splitlines()
                flagged[name] = sum(1 for line in lines if line.startswith("banned"))

            return run

        jobs = {"check": in_process("check", screen_with_check),
                "pyahocorasick": in_process("pyahocorasick", screen_with_pyahocorasick),
                "vantry screen": script("vantry screen", screen),
                "pyahocorasick script": script("pyahocorasick script",
                                               [sys.executable, "-c", SCREEN_WITH_PYAHOCORASICK, str(lexicon)])}
        if KeywordProcessor:
            jobs["flashtext"] = in_process("flashtext", screen_with_flashtext)
            jobs["flashtext script"] = script("flashtext script",
                                              [sys.executable, "-c", SCREEN_WITH_FLASHTEXT, str(lexicon)])
        jobs["check_many"] = in_process("check_many", screen_with_check_many)
        jobs["check_many threads=1"] = in_process("check_many threads=1",
                                                  functools.partial(screen_with_check_many, threads=1))
        if hyperscan:
            jobs["hyperscan"] = in_process("hyperscan", screen_with_hyperscan)
            jobs["hyperscan script"] = script("hyperscan script",
                                              [sys.executable, "-c", SCREEN_WITH_HYPERSCAN, str(lexicon)])
        else:
            print("wordsift: hyperscan is not installed (pip install '.[bench]'): its rows are left out",
                  file=sys.stderr)
        seconds = harness.time_jobs(jobs)
        same_output = pathlib.Path(folder, "vantry screen").read_bytes() == \
            pathlib.Path(folder, "pyahocorasick script").read_bytes()
    assert flagged["check"] == flagged["pyahocorasick"] == flagged["vantry screen"] == banned, (flagged, banned)
    assert flagged["check_many"] == flagged["check_many threads=1"] == banned, (flagged, banned)
    assert same_output, "vantry screen and the pyahocorasick script disagree"
    size = f"{count:,} prompts, {banned / count:.1%} banned"
    labels = {"check": "PromptBanChecker().check in a loop", "vantry screen": "vantry screen < file",
              "check_many": "PromptBanChecker().check_many(prompts)"}
    for ours, floor, kind in [("check", "pyahocorasick", "loop"), ("check", "flashtext", "loop"),
                              ("check", "hyperscan", "loop"), ("check_many", "hyperscan", "loop"),
                              ("vantry screen", "pyahocorasick script", "script"),
                              ("vantry screen", "flashtext script", "script"),
                              ("vantry screen", "hyperscan script", "script")]:
        if floor in seconds:
            table.throughput(f"data set: {labels[ours]} vs {floor.split()[0]} by hand in a {kind}", size,
                             seconds[ours], seconds[floor], count, "prompts",
                             note=f"flags {flagged[ours]:,} vs {flagged[floor]:,}")
    for floor in ("check", "check_many threads=1"):
        versus = "a check loop" if floor == "check" else "threads=1"
        table.throughput(f"data set: check_many(prompts) on {usable_cpus()} CPUs vs {versus}", size,
                         seconds["check_many"], seconds[floor], count, "prompts",
                         note=f"flags {flagged['check_many']:,} vs {flagged[floor]:,}")


# ---- against hyperscan ----------------------------------------------------------------------------------

def hyperscan_first_hit(words):
    """What a user who screens with hyperscan writes: the words as caseless UTF-8 literals (escaped
    for its pattern syntax) in one block-mode database, and a scan of text.encode() that stops at
    the first match."""
    escape = lambda w: "".join(c if c.isalnum() or ord(c) > 127 else f"\\x{ord(c):02x}" for c in w)  # noqa: E731
    flags = hyperscan.HS_FLAG_CASELESS | hyperscan.HS_FLAG_SINGLEMATCH | hyperscan.HS_FLAG_UTF8
    db = hyperscan.Database(mode=hyperscan.HS_MODE_BLOCK)
    db.compile(expressions=[escape(w).encode() for w in words], ids=list(range(len(words))), elements=len(words),
               flags=[flags] * len(words))

    def stop(*match):
        return True  # ends the scan at the first match

    def has(text):
        try:
            db.scan(text.encode(), match_event_handler=stop)
        except hyperscan.ScanTerminated:
            return True
        return False

    return has


def versus_hyperscan(table):
    """The default checker against hyperscan on the benchmark's data set (check in a loop against
    encode + scan per prompt, same verdicts on every prompt) and on long clean texts, ASCII and
    CJK, in MB of UTF-8 a second."""
    if hyperscan is None:
        print("hyperscan is not installed: the rows against it are left out", file=sys.stderr)
        return
    ours = PromptBanChecker()
    theirs = hyperscan_first_hit(ours.banned_words)
    count = sizes(10_000, 100_000)
    texts, banned = prompts.dataset(count, SEED, ours.banned_words, lambda t: not ours._has_banned_word(t))
    verdicts = [ours._has_banned_word(t) for t in texts]
    assert verdicts == [theirs(t) for t in texts] and sum(verdicts) == banned

    def loop():
        check = ours.check
        for text in texts:
            try:
                check(text)
            except PromptBanError:
                pass

    def loop_theirs():
        for text in texts:
            theirs(text)

    seconds = harness.measure_pair(loop, loop_theirs, repeat=5)
    table.throughput("data set: PromptBanChecker().check in a loop vs hyperscan encode + scan per prompt",
                     f"{count:,} prompts, {banned / count:.1%} banned", *seconds, count, "prompts")
    phrases = {"ASCII": prompts.PHRASES["ASCII"], "CJK": prompts.PHRASES["CJK"]}
    for script, length in (("ASCII", sizes(2_000_000, 20_000_000)), ("CJK", sizes(700_000, 7_000_000))):
        rng = random.Random(SEED)
        text = ", ".join(rng.choice(phrases[script]) for _ in range(length // 8))[:length]
        assert not ours._has_banned_word(text) and not theirs(text)
        megabytes = len(text.encode()) / 1e6
        seconds = harness.measure_pair(lambda: ours._has_banned_word(text), lambda: theirs(text), repeat=5)
        table.throughput(f"one clean {script} text: _has_banned_word vs hyperscan encode + scan",
                         f"{megabytes:.0f} MB of UTF-8", *seconds, megabytes, "MB")


# ---- the cipher and the built-in lexicon --------------------------------------------------------------


def xor_and_lexicon(table):
    from vantry._lexivault import _ED, _EK

    table.compare("_load_default_words", f"{len(_ED)} B lexicon", wordsift._load_default_words, _load_default_words)
    for size in sizes([1 << 10, 1 << 20], [1 << 10, 1 << 16, 1 << 20, 1 << 24]):
        data = os.urandom(size)
        assert wordsift._xor(data, _EK) == _xor(data, _EK)
        label = f"{size >> 20} MB" if size >= 1 << 20 else f"{size >> 10} KB"
        table.compare("_xor", label, lambda: wordsift._xor(data, _EK), lambda: _xor(data, _EK),
                      target=100 if size == 1 << 20 else None, series=("xor", "_xor", size))


@functools.cache
def clean_for_both(script):
    """Clean prompts of `script` that the normalising checker finds clean too."""
    plain, normal = PromptBanChecker(), PromptBanChecker(normalize=True)
    return prompts.clean_texts(script, prompts.lengths(PROMPTS_PER_ROW, SEED), SEED,
                               lambda t: not plain._has_banned_word(t) and not normal._has_banned_word(t))


def normalized(table):
    """What normalize=True costs: check on the same clean prompts, and the build, against the
    same checker without it (the image tables are filled once per process, before the rows)."""
    lexicons = {AUTOMATON: None, REGEX: lexicon_of(40)}
    for name, words in lexicons.items():
        options = {"builtin_words": words, "use_default": False} if words else {}
        plain, normal = PromptBanChecker(**options), PromptBanChecker(normalize=True, **options)
        assert engine_of(plain) == name
        for script in ("ASCII", "mixed"):
            texts = clean_for_both(script)
            normal.check("".join(texts))  # the image tables of these scripts, filled once
            table.compare(f"check, {name}, normalize=True vs normalize=False", f"{script}, 50-400 chars",
                          batch(normal.check, texts), batch(plain.check, texts), kind=RELATIVE, target=1.5,
                          per=len(texts))
        table.compare(f"build, {name}, normalize=True vs normalize=False", f"{len(plain.banned_words)} words",
                      lambda: PromptBanChecker(normalize=True, **options), lambda: PromptBanChecker(**options),
                      kind=RELATIVE, target=1.5)


def run(table):
    memory(table)
    construction(table)
    first_build(table)
    checks_by_length(table)
    checks_by_script(table)
    checks_vs_alternatives(table)
    find_matched(table)
    refusals(table)
    normalized(table)
    dataset(table)
    versus_hyperscan(table)
    xor_and_lexicon(table)


if __name__ == "__main__":
    table = Table("vantry.wordsift against what a user would write instead")
    run(table)
    table.print()
