"""vantry.wordsift against the same checker written in plain Python.

The floor is ``PyPromptBanChecker`` below: the lexicon assembly, both engines
and the checks written as plain Python from the same algorithm steps (with the
same restricted unpickler, "utf-8-sig" decoding and engine swap order), over
the same pyahocorasick and ``re``.
"""

import io
import os
import pickle
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import ahocorasick  # noqa: E402

from bench.harness import QUICK, Table  # noqa: E402
from vantry import wordsift  # noqa: E402
from vantry.excode import PromptBanError  # noqa: E402
from vantry.wordsift import PromptBanChecker  # noqa: E402

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


def prompt_of(length):
    return (CLEAN * (length // len(CLEAN) + 1))[:length]


def compare_engines(table):
    prompt = prompt_of(200)
    ours, floor = PromptBanChecker(), PyPromptBanChecker()
    assert ours.check(prompt) is prompt and floor.check(prompt) is prompt
    table.compare("check, automaton (default lexicon)", "200 chars", lambda: ours.check(prompt), lambda: floor.check(prompt))

    ours = PromptBanChecker(builtin_words=SMALL_LEXICON, use_default=False)
    floor = PyPromptBanChecker(builtin_words=SMALL_LEXICON, use_default=False)
    assert ours._ban_regex is not None and floor._ban_regex is not None
    table.compare("check, regex (40 words)", "200 chars", lambda: ours.check(prompt), lambda: floor.check(prompt))

    global _HAS_AC
    wordsift._HAS_AC = _HAS_AC = False
    try:
        ours, floor = PromptBanChecker(), PyPromptBanChecker()
        table.compare("check, regex (default lexicon)", "200 chars", lambda: ours.check(prompt), lambda: floor.check(prompt))
    finally:
        wordsift._HAS_AC = _HAS_AC = True

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


def main():
    table = Table("vantry.wordsift against the same checker in plain Python")
    table.compare("PromptBanChecker() default lexicon", "automaton", PromptBanChecker, PyPromptBanChecker)
    compare_engines(table)

    from vantry._lexivault import _ED, _EK

    data = os.urandom(1 << 20)
    assert wordsift._xor(data, _EK) == _xor(data, _EK)
    table.compare("_xor", "1 MB", lambda: wordsift._xor(data, _EK), lambda: _xor(data, _EK))
    table.compare("_xor", f"{len(_ED)} B lexicon", lambda: wordsift._xor(_ED, _EK), lambda: _xor(_ED, _EK))

    ours, floor = PromptBanChecker(), PyPromptBanChecker()
    lengths = [1 << 10, 1 << 14, 1 << 17] if QUICK else [1 << 10, 1 << 12, 1 << 14, 1 << 16, 1 << 18, 1 << 20]
    for length in lengths:
        prompt = prompt_of(length)
        table.compare("check, automaton", f"{length // 1024} K chars", lambda: ours.check(prompt), lambda: floor.check(prompt))
    table.print()


if __name__ == "__main__":
    main()
