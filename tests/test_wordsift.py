import copy
import gc
import inspect
import io
import os
import pickle
import random
import re
import subprocess
import sys
import threading
import tracemalloc
import types
import warnings

import pytest

from conftest import assert_no_leak, raises
from vantry import excode, wordsift
from vantry.wordsift import PromptBanChecker, PromptBanError

HAS_AC = wordsift._HAS_AC
needs_ac = pytest.mark.skipif(not HAS_AC, reason="pyahocorasick is not installed")
FILLERS = [f"qqfill{i:02d}" for i in range(60)]


@pytest.fixture(params=["regex", pytest.param("automaton", marks=needs_ac)])
def engine(request, monkeypatch):
    monkeypatch.setattr(wordsift, "_HAS_AC", request.param == "automaton")
    return request.param


def checker_for(words, _cls=PromptBanChecker, _then=None, **kwargs):
    """A checker on `words` padded to 50 entries, so _HAS_AC alone picks the engine; `_then`
    changes it after it is built."""
    padded = list(words) + FILLERS[: max(0, 50 - len(words))]
    checker = _cls(builtin_words=padded, use_default=False, **kwargs)
    if _then:
        _then(checker)
    return checker


def hits(checker, text):
    try:
        assert checker.check(text) is text
        return None
    except PromptBanError as err:
        assert err.data == checker.find_matched_words(text) or sorted(err.data) == sorted(
            checker.find_matched_words(text)
        )
        return sorted(err.data)


# ---- module ------------------------------------------------------------------------------


def test_module_names_in_order():
    names = [n for n in vars(wordsift) if not n.startswith("__")]
    expected = ["os", "pickle", "re", "PromptBanError", "_AC_THRESHOLD"] + ["ahocorasick"] * HAS_AC
    assert names == expected + ["_HAS_AC", "_xor", "_load_default_words", "PromptBanChecker"]
    assert (wordsift.os, wordsift.pickle, wordsift.re) == (os, pickle, re)
    assert wordsift.PromptBanError is excode.PromptBanError and wordsift._AC_THRESHOLD == 50
    methods = ["__init__", "load_banned_words", "_load_from_file", "_build_engine", "_build_automaton",
               "find_matched_words", "_has_banned_word", "check", "check_many", "create_pickle_file"]
    private = "_PromptBanChecker__"  # the slot of the fast first-hit test
    own = [n for n in vars(PromptBanChecker) if n in methods or not n.startswith(("__", private))]
    assert own == ["normalize", "allow_words", "_BUILTIN_ALLOW_WORDS"] + methods  # the defaults of the screening options
    assert str(inspect.signature(PromptBanChecker.__init__)) == (
        "(self, /, ban_word_file=None, ignore_case=True, builtin_words=None, use_default=True, exclude_words=None, *, "
        "normalize=False, allow_words=None)")
    assert str(inspect.signature(PromptBanChecker._load_from_file)) == "(file_path)"
    assert str(inspect.signature(PromptBanChecker.check_many)) == "(self, /, prompts, threads=None)"


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)


@pytest.mark.parametrize(
    "setup, outcome",
    [
        ("sys.modules['ahocorasick'] = None", "ok False False"),
        ("class F:\n def find_spec(s, n, p, t=None):\n  if n == 'ahocorasick': raise RuntimeError('boom')\n"
         "sys.meta_path.insert(0, F())", "RuntimeError"),
        ("import vantry.excode as e\ndel e.PromptBanError", "ImportError cannot import name 'PromptBanError'"),
    ],
)
def test_loading_with_missing_or_broken_dependencies(setup, outcome):
    code = f"""import sys
{setup}
try:
    import vantry.wordsift as w
except Exception as e:
    print(type(e).__name__, e)
else:
    c = w.PromptBanChecker()
    print('ok', w._HAS_AC, hasattr(w, 'ahocorasick'), c._automaton is None and c._ban_regex is not None)
"""
    out = run_python(code)
    assert out.stdout.startswith(outcome), out.stderr


# ---- _xor ------------------------------------------------------------------------------------


def py_xor(data, key):
    return bytes(b ^ key[i % len(key)] for i, b in enumerate(data))


@pytest.mark.parametrize("size", [0, 1, 31, 32, 33, 1000, 70_000, 300_001])
@pytest.mark.parametrize("key", [b"\x01", b"abc", bytes(range(32)), os.urandom(300)])
def test_xor_matches_the_definition_and_is_its_own_inverse(size, key):
    data = os.urandom(size)
    out = wordsift._xor(data, key)
    assert type(out) is bytes and out == py_xor(data, key)
    assert wordsift._xor(out, key) == data


def test_xor_empty_key_and_types():
    assert wordsift._xor(b"", b"") == b"" and wordsift._xor(data=b"", key=b"k") == b""
    with pytest.raises(ZeroDivisionError) as info:
        wordsift._xor(b"x", b"")
    try:
        0 % 0
    except ZeroDivisionError as host:
        assert str(info.value) == str(host)
    for args, name in [((bytearray(b"x"), b"k"), "data"), ((b"x", "k"), "key"), ((b"x", None), "key")]:
        with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
            wordsift._xor(*args)


def test_xor_releases_the_gil_on_large_data():
    data, stop, ticks = os.urandom(64 << 20), threading.Event(), []
    thread = threading.Thread(target=lambda: [ticks.append(1) for _ in iter(stop.is_set, True)])
    thread.start()
    try:
        before = len(ticks)
        wordsift._xor(data, b"key")
        during = len(ticks) - before
    finally:
        stop.set()
        thread.join()
    assert during > 0


# ---- built-in lexicon -------------------------------------------------------------------------


def fake_vault(monkeypatch, value=None, raw=None, key=b"k" * 32):
    raw = pickle.dumps(value) if raw is None else raw
    vault = types.ModuleType("vantry._lexivault")
    vault._EK, vault._ED = key, py_xor(raw, key) if key else raw
    monkeypatch.setitem(sys.modules, "vantry._lexivault", vault)


EXEC_PICKLE = b"cbuiltins\nexec\n(Vopen(%r, 'w').close()\ntR."


def test_default_words_are_read_anew_each_time():
    first, second = wordsift._load_default_words(), wordsift._load_default_words()
    assert first == second and first is not second and len(first) >= 500


@pytest.mark.parametrize("value", [None, {"a": 1}, "text", ("a",), 5])
def test_default_words_that_are_not_a_list_are_empty(monkeypatch, value):
    fake_vault(monkeypatch, value)
    assert wordsift._load_default_words() == []
    assert PromptBanChecker(builtin_words=["x"]).banned_words == ["x"]


def test_default_words_failures_are_silent(monkeypatch, tmp_path):
    marker = tmp_path / "ran"
    cases = [dict(raw=b"not a pickle"), dict(raw=EXEC_PICKLE % str(marker).encode()), dict(value=[], key=b"")]
    for case in cases:
        fake_vault(monkeypatch, **case)
        assert wordsift._load_default_words() == []
    assert not marker.exists()
    monkeypatch.setitem(sys.modules, "vantry._lexivault", None)
    assert wordsift._load_default_words() == []
    fake_vault(monkeypatch, ["  own  ", "words"])
    assert wordsift._load_default_words() == ["  own  ", "words"]
    assert PromptBanChecker().banned_words == ["words", "own"]


def test_default_words_let_non_exception_errors_through(monkeypatch):
    def interrupted(data, key):
        raise KeyboardInterrupt

    monkeypatch.setattr(wordsift, "_xor", interrupted)
    with pytest.raises(KeyboardInterrupt):
        wordsift._load_default_words()


class AskingVault(types.ModuleType):
    """A data module whose every name lookup raises `error`."""

    def __init__(self, error):
        super().__init__("vantry._lexivault")
        self.error = error

    def __getattr__(self, name):
        raise self.error


@pytest.mark.parametrize("error", [MemoryError, RecursionError, OSError, KeyboardInterrupt])
@pytest.mark.parametrize("where", ["data module", "_xor"])
def test_default_words_let_other_failures_through(monkeypatch, where, error):
    """Only a missing or broken data module empties the built-in source; running out of memory or
    stack does not leave a checker without its default words."""
    if where == "data module":
        monkeypatch.setitem(sys.modules, "vantry._lexivault", AskingVault(error))
    else:
        monkeypatch.setattr(wordsift, "_xor", lambda data, key: (_ for _ in ()).throw(error))
    with pytest.raises(error):
        wordsift._load_default_words()
    with pytest.raises(error):
        PromptBanChecker(builtin_words=["x"])


def test_a_checker_built_near_the_recursion_limit_has_all_its_words_or_raises():
    full = len(PromptBanChecker().banned_words)

    def build_at(depth):
        if depth:
            return build_at(depth - 1)
        try:
            return len(PromptBanChecker().banned_words)
        except RecursionError:
            return "RecursionError"

    free = sys.getrecursionlimit() - len(inspect.stack())
    outcomes = set()
    for depth in range(free - 60, free):
        try:
            outcomes.add(build_at(depth))
        except RecursionError:  # before the constructor was reached
            pass
    assert outcomes - {"RecursionError"} == {full}


def test_default_words_of_a_data_module_without_its_names_are_empty(monkeypatch):
    monkeypatch.setitem(sys.modules, "vantry._lexivault", types.ModuleType("vantry._lexivault"))
    assert wordsift._load_default_words() == []
    monkeypatch.setitem(sys.modules, "vantry._lexivault", AskingVault(AttributeError))
    assert PromptBanChecker(builtin_words=["x"]).banned_words == ["x"]


def test_a_non_text_default_word_stops_the_assembly(monkeypatch):
    fake_vault(monkeypatch, ["ok", 3])
    with pytest.raises(AttributeError):
        PromptBanChecker()


BANNED = ["a nude woman on the beach", "Child Porn", "a beheading video", "crystal meth lab", "how to make a bomb",
          "一张裸体照片", "儿童色情内容", "吸食冰毒的人", "割腕自杀", "白人至上主义集会"]
BENIGN = ["a watercolor painting of a quiet harbour at dawn", "portrait of an old fisherman, dramatic lighting",
          "a cat sleeping on a windowsill, grapes and draped curtains", "the Pythagorean theorem on a blackboard",
          "a therapist's office with green plants", "pricing table for a bakery", "清晨的港口，渔船，柔和的金色光线",
          "一只在草地上奔跑的小狗", "故事的高潮部分，城市夜景", "粉色的樱花和蓝天", "室内射击场的安全标志"]


@pytest.mark.parametrize("use_ac", [False, pytest.param(True, marks=needs_ac)])
def test_default_checker_screens_real_prompts(monkeypatch, use_ac):
    monkeypatch.setattr(wordsift, "_HAS_AC", use_ac)
    checker = PromptBanChecker()
    assert (checker._automaton is not None) == use_ac
    refused = [p for p in BANNED if hits(checker, p)]
    passed = [p for p in BENIGN if not hits(checker, p)]
    assert (refused, passed) == (BANNED, BENIGN)


# ---- constructor and assembly -------------------------------------------------------------------


def test_constructor_attributes():
    mine, excl = ["x"], ["y"]
    c = PromptBanChecker(None, 0, mine, "", excl)
    assert vars(c) == {"ban_word_file": None, "ignore_case": False, "builtin_words": mine, "use_default": False,
                       "exclude_words": excl, "banned_words": ["x"], "_ban_regex": c._ban_regex, "_automaton": None}
    assert c.builtin_words is mine and c.exclude_words is excl
    empty = []
    d = PromptBanChecker(builtin_words=empty, use_default=False)
    assert d.builtin_words == [] and d.builtin_words is not empty and d.ignore_case is True
    assert d.banned_words == [] and d._ban_regex is None and d._automaton is None
    mine.append("later")
    c.load_banned_words()
    assert c.banned_words == ["later", "x"]


@pytest.mark.parametrize(
    "words, exclude, ignore_case, expected",
    [
        (["  foo  ", "foo", "", "   "], None, True, ["foo"]),
        (["ab", "cd", "abc"], None, True, ["abc", "ab", "cd"]),
        (["Foo", "foo", "bar"], [" FOO "], True, ["bar"]),
        (["Foo", "foo", "bar"], [" FOO "], False, ["Foo", "foo", "bar"]),
        (["Foo", "foo", "bar"], [" foo", ""], False, ["Foo", "bar"]),
        (["foobar", "foo"], ["foo"], True, ["foobar"]),
        (["\u3000全角\u3000", "\u00a0nb\u00a0", "tab\t"], None, True, ["tab", "全角", "nb"]),
    ],
)
def test_assembly(words, exclude, ignore_case, expected):
    c = PromptBanChecker(builtin_words=words, use_default=False, exclude_words=exclude, ignore_case=ignore_case)
    assert c.banned_words == expected


def test_sources_merge_in_priority_order(tmp_path, monkeypatch):
    fake_vault(monkeypatch, ["dd", "shared"])
    path = tmp_path / "words.txt"
    path.write_text("bb\nshared\ncc\n", encoding="utf-8")
    c = PromptBanChecker(str(path), builtin_words=["aa", "shared", "bb"])
    assert c.banned_words == ["shared", "dd", "aa", "bb", "cc"]
    assert PromptBanChecker("", use_default=False).banned_words == []


class Refusing:
    def __init__(self, error):
        self.error = error

    def __getattr__(self, name):
        raise self.error

    def __call__(self, *args, **kwargs):
        raise self.error


def fail_in_default_words(monkeypatch, checker):
    checker.use_default = True
    monkeypatch.setitem(sys.modules, "vantry._lexivault", AskingVault(MemoryError))


def fail_in_compile(monkeypatch, checker):
    monkeypatch.setattr(wordsift, "_HAS_AC", False)
    monkeypatch.setattr(re, "compile", Refusing(MemoryError))


def fail_in_automaton(monkeypatch, checker):
    monkeypatch.setattr(wordsift, "_HAS_AC", True)
    monkeypatch.setattr(wordsift, "ahocorasick", Refusing(MemoryError), raising=False)


def fail_in_an_overridden_build(monkeypatch, checker):
    monkeypatch.setattr(checker, "_build_engine", Refusing(MemoryError), raising=False)


@pytest.mark.parametrize("fail", [fail_in_default_words, fail_in_compile, fail_in_automaton,
                                  fail_in_an_overridden_build])
@pytest.mark.parametrize("engine_before", ["regex", pytest.param("automaton", marks=needs_ac)])
def test_reload_failing_at_any_step_keeps_lexicon_and_engine(monkeypatch, fail, engine_before):
    monkeypatch.setattr(wordsift, "_HAS_AC", engine_before == "automaton")
    c = checker_for(["keep"])
    before = (c.banned_words, c._ban_regex, c._automaton, list(c.banned_words))
    c.builtin_words.append("new word")
    fail(monkeypatch, c)
    with pytest.raises(MemoryError):
        c.load_banned_words()
    monkeypatch.undo()
    assert (c.banned_words, c._ban_regex, c._automaton, c.banned_words) == before
    assert c.banned_words is before[0] and c._ban_regex is before[1] and c._automaton is before[2]
    with pytest.raises(PromptBanError, match="keep"):
        c.check("keep it")
    assert c.check("new word") == "new word"


def test_failed_reload_keeps_lexicon_and_engine(tmp_path):
    c = PromptBanChecker(builtin_words=["keep"], use_default=False)
    before = (c.banned_words, c._ban_regex, c._automaton)
    c.builtin_words.append(7)
    with pytest.raises(AttributeError):
        c.load_banned_words()
    c.builtin_words.pop()
    c.ban_word_file = str(tmp_path / "nope.txt")
    with pytest.raises(FileNotFoundError) as info:
        c.load_banned_words()
    assert str(info.value) == "违禁词文件不存在: " + str(tmp_path / "nope.txt")
    assert (c.banned_words, c._ban_regex, c._automaton) == before and c.banned_words is before[0]
    with pytest.raises(PromptBanError):
        c.check("keep it")


# ---- files ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, content, expected",
    [
        ("w.txt", "a\r\n\r\n b \r\nc", ["a", "", "b", "c"]),
        ("w.txt", "\ufefffirst\nsecond\n", ["first", "second"]),
        ("w.dat", "x\ry\n", ["x", "y"]),
        ("words", "中文\n", ["中文"]),
        (".pkl", "text\n", ["text"]),
        ("w.PKL", pickle.dumps([1, "a", 2.5]), ["1", "a", "2.5"]),
        ("w.pickle", pickle.dumps(["  x  "], protocol=0), ["  x  "]),
    ],
)
def test_load_from_file(tmp_path, name, content, expected):
    path = tmp_path / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode("utf-8"))
    assert PromptBanChecker._load_from_file(str(path)) == expected


def test_bom_file_screens_its_first_word(tmp_path):
    path = tmp_path / "bom.txt"
    path.write_bytes("\ufeffbadword\nother\n".encode("utf-8"))
    with pytest.raises(PromptBanError):
        PromptBanChecker(str(path), use_default=False).check("a badword here")


@pytest.mark.parametrize(
    "name, content, error, message",
    [
        ("w.pkl", pickle.dumps({"a": 1}), ValueError, "pickle 文件内容必须是 list，当前类型: dict"),
        ("w.pkl", pickle.dumps(None), ValueError, "pickle 文件内容必须是 list，当前类型: NoneType"),
        ("w.pkl", pickle.dumps(io.BytesIO), pickle.UnpicklingError, "pickle 文件禁止引用全局对象: _io.BytesIO"),
        ("w.pkl", b"garbage", pickle.UnpicklingError, None),
        ("w.txt", b"\xff\xfe bad", UnicodeDecodeError, None),
    ],
)
def test_bad_files_raise_and_close(tmp_path, name, content, error, message):
    path = tmp_path / name
    path.write_bytes(content)
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        with pytest.raises(error) as info:
            PromptBanChecker._load_from_file(str(path))
        gc.collect()
    if message:
        assert str(info.value) == message


def u4(n):
    return n.to_bytes(4, "little")


def u8(n):
    return n.to_bytes(8, "little")


def shared_list(levels):
    """[L39] where each L(i) is [L(i-1), L(i-1)]: 2**39 empty lists for str() to spell out."""
    data = b"\x80\x02]q\x00"
    for i in range(1, levels + 1):
        data += b"]q" + bytes([i]) + b"(h" + bytes([i - 1]) + b"h" + bytes([i - 1]) + b"e"
    return data + b"]h" + bytes([levels]) + b"a."


# Each declares far more than it holds: a memo index, a frame length, a byte count, or a text that
# repeats a container through the memo.
HOSTILE_PICKLES = {
    "a list shared 2**39 times over, 361 bytes": shared_list(39),
    "LONG_BINPUT 2**27, 9 bytes": b"\x80\x04]r" + u4(2**27) + b".",
    "LONG_BINPUT 2**32-1": b"]r" + u4(2**32 - 1) + b".",
    "PUT 10**11": b"]p100000000000\n.",
    "PUT with underscores": b"]p1_000_000_000\n.",
    "PUT after a sign and blanks": b"(lp +99999999\n.",
    "LONG_BINPUT in a frame": b"\x80\x04\x95" + u8(7) + b"]r" + u4(2**27) + b".",
    "LONG_BINPUT before a bad opcode": b"]r" + u4(2**27) + b"\xff",
    "LONG_BINPUT in a truncated pickle": b"]r" + u4(2**27),
    "FRAME 2**63-1": b"\x80\x04\x95" + u8(2**63 - 1) + b"].",
    "BINBYTES 2**32-1": b"B" + u4(2**32 - 1) + b".",
    "BINBYTES8 2**40": b"\x80\x04\x8e" + u8(2**40) + b".",
    "BYTEARRAY8 2**40": b"\x80\x05\x96" + u8(2**40) + b".",
    "BINUNICODE8 2**40": b"\x80\x04\x8d" + u8(2**40) + b".",
    "BINUNICODE 2**31": b"X" + u4(2**31) + b".",
    "BINSTRING 2**31-1": b"T" + u4(2**31 - 1) + b".",
    "LONG4 2**31-1": b"\x80\x02\x8b" + u4(2**31 - 1) + b".",
    "SHORT_BINBYTES past the end": b"\x80\x03C\xff.",
}


@pytest.mark.parametrize("content", HOSTILE_PICKLES.values(), ids=HOSTILE_PICKLES)
def test_pickles_declaring_more_than_they_hold_are_refused_in_small_memory(tmp_path, content):
    path = tmp_path / "words.pkl"
    path.write_bytes(content)
    tracemalloc.start()
    try:
        with pytest.raises(pickle.UnpicklingError, match="^pickle 文件数据越界: "):
            PromptBanChecker._load_from_file(str(path))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20


def test_pickles_within_their_size_still_load(tmp_path):
    path = tmp_path / "words.pkl"
    words = ["w%d" % i for i in range(3000)] + ["x" * 70_000, "中文" * 9, 1.5, 10**40, None]
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        path.write_bytes(pickle.dumps(words, protocol=protocol) + b"trailing bytes are never read")
        assert PromptBanChecker._load_from_file(str(path)) == [str(w) for w in words]
    path.write_bytes(b"(lp0\nVa\np1\nag1\na.")  # protocol 0 written by hand, the memo used
    assert PromptBanChecker._load_from_file(str(path)) == ["a", "a"]


def test_malicious_pickle_runs_nothing(tmp_path):
    marker = tmp_path / "ran"
    path = tmp_path / "evil.pkl"

    class Evil:
        def __reduce__(self):
            return (os.system, (f"touch {marker}",))

    for payload in [EXEC_PICKLE % str(marker).encode(), pickle.dumps([Evil()]), pickle.dumps([Evil()], protocol=0)]:
        path.write_bytes(payload)
        with pytest.raises(pickle.UnpicklingError, match=r"全局对象: (builtins\.exec|posix\.system)$"):
            PromptBanChecker(str(path), use_default=False)
    assert not marker.exists()


def test_create_pickle_file(tmp_path):
    path = tmp_path / "out.pkl"
    path.write_bytes(b"old content that is longer")
    assert PromptBanChecker.create_pickle_file(["  a ", "", "b", "a", " "], str(path)) is None
    with open(path, "rb") as f:
        assert pickle.load(f) == ["a", "b", "a"]
    assert PromptBanChecker._load_from_file(str(path)) == ["a", "b", "a"]
    with pytest.raises(TypeError, match="Argument 'words'"):
        PromptBanChecker.create_pickle_file(("a",), str(path))
    with pytest.raises(AttributeError):
        PromptBanChecker.create_pickle_file([1], str(path))


# ---- engines -------------------------------------------------------------------------------------


@pytest.mark.parametrize("count", [49, 50])
@pytest.mark.parametrize("has_ac", [False, pytest.param(True, marks=needs_ac)])
def test_engine_choice(monkeypatch, count, has_ac):
    monkeypatch.setattr(wordsift, "_HAS_AC", has_ac)
    c = PromptBanChecker(builtin_words=FILLERS[:count], use_default=False, ignore_case=False)
    if has_ac and count == 50:
        assert type(c._automaton).__name__ == "Automaton" and c._ban_regex is None
        assert sorted(c._automaton.keys()) == sorted(FILLERS[:count])
    else:
        assert c._automaton is None and isinstance(c._ban_regex, re.Pattern)
        assert c._ban_regex.pattern == "|".join(map(re.escape, c.banned_words))
        assert not c._ban_regex.flags & re.IGNORECASE


@needs_ac
def test_threshold_is_read_at_each_build(monkeypatch):
    monkeypatch.setattr(wordsift, "_AC_THRESHOLD", 2)
    c = PromptBanChecker(builtin_words=["Ab", "cd"], use_default=False)
    assert c._automaton is not None and sorted(c._automaton.keys()) == ["ab", "cd"]
    monkeypatch.delattr(wordsift, "_AC_THRESHOLD")
    with pytest.raises(NameError, match="_AC_THRESHOLD"):
        c.load_banned_words()


# pyahocorasick frees its trie recursively, one C stack frame per code point of the longest key:
# such a lexicon goes to the pattern engine. Built, checked and dropped in a thread with a 256 KiB
# stack, then in the main thread at exit.
LONG_ENTRY = """
import sys, threading
from vantry import wordsift
from vantry.wordsift import PromptBanChecker, PromptBanError
length, ignore_case = int(sys.argv[1]), sys.argv[2] == "1"
words = ["x" * length] + [f"qqfill{i:02d}" for i in range(60)]
def build_check_drop():
    c = PromptBanChecker(builtin_words=words, use_default=False, ignore_case=ignore_case)
    engine = "automaton" if c._automaton is not None else "regex"
    assert c.check("y" * length) == "y" * length
    try:
        c.check("a " + "x" * length)
    except PromptBanError as err:
        assert err.data == ["x" * length]
    print(engine, flush=True)
    if engine == "automaton":
        return c
    try:
        c._build_automaton()
    except ValueError as err:
        print(err, flush=True)
threading.stack_size(256 * 1024)
t = threading.Thread(target=build_check_drop)
t.start()
t.join()
keep = build_check_drop()
"""


@needs_ac
@pytest.mark.parametrize("ignore_case", [True, False])
@pytest.mark.parametrize("length, engine", [(1024, "automaton"), (1025, "regex"), (1_000_000, "regex")])
def test_entries_too_long_for_an_automaton_get_the_pattern_engine(length, engine, ignore_case):
    run = subprocess.run([sys.executable, "-c", LONG_ENTRY, str(length), str(int(ignore_case))],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr[-2000:]
    refusal = "a lexicon entry longer than 1024 code points cannot go into an automaton"
    assert run.stdout.split("\n")[:2] == ([engine, refusal] if engine == "regex" else [engine, engine])


def test_a_word_file_without_line_ends_is_screened_and_the_command_exits(tmp_path):
    words = tmp_path / "words.txt"
    words.write_text("dawn " * 200_000, encoding="utf-8")
    run = subprocess.run([sys.executable, "-m", "vantry", "screen", "--words-file", str(words), "a bag of cocaine"],
                         capture_output=True, text=True)
    assert (run.returncode, run.stdout) == (1, "banned: cocaine\n"), run.stderr[-2000:]


@pytest.mark.parametrize(
    "words, prompt, ignore_case, regex, automaton",
    [
        (["abc"], "xxABCxx", True, ["ABC"], ["abc"]),
        (["abc"], "xxABCxx", False, None, None),
        (["ab", "abc"], "abc", True, ["abc"], ["ab", "abc"]),
        (["abc", "bcd"], "abcd", True, ["abc"], ["abc", "bcd"]),
        (["a.c", "x*", "(p", "q|r"], "abc x y (p q r q|r", True, ["(p", "q|r"], ["(p", "q|r"]),
        (["dup"], "dup dup DUP", False, ["dup"], ["dup"]),
        (["Foo", "foo"], "FOO", True, ["FOO"], ["foo"]),
        (["裸体"], "一张裸体照片", True, ["裸体"], ["裸体"]),
    ],
)
def test_engines_report_differently(engine, words, prompt, ignore_case, regex, automaton):
    c = checker_for(words, ignore_case=ignore_case)
    expected = regex if engine == "regex" else automaton
    assert hits(c, prompt) == expected
    assert c._has_banned_word(prompt) is (expected is not None)


def test_error_message_and_data(engine):
    c = checker_for(["x", "y"])
    with pytest.raises(PromptBanError) as info:
        c.check("x and y")
    assert info.value.error_msg in ("违禁词: x,y", "违禁词: y,x")
    assert sorted(info.value.data) == ["x", "y"] and str(info.value) == info.value.error_msg


def test_clean_and_empty_prompts(engine):
    for c in (checker_for(["word"]), PromptBanChecker(use_default=False)):
        for prompt in ("", "a clean prompt " * 3):
            assert c.check(prompt) is prompt
            assert c.find_matched_words(prompt) == [] and c._has_banned_word(prompt) is False


@needs_ac
def test_equal_lexicons_get_separate_automatons():
    checkers = [checker_for(["shared"]) for _ in range(3)]
    assert len({id(c._automaton) for c in checkers}) == 3
    assert sorted(checkers[2]._automaton.items()) == sorted(checkers[0]._automaton.items())
    checkers[2]._automaton.add_word("other", "other")
    checkers[2]._automaton.make_automaton()
    assert [hits(c, "other shared") for c in checkers] == [["shared"], ["shared"], ["other", "shared"]]


@needs_ac
def test_automaton_reads_ignore_case_at_each_check():
    c = checker_for(["abc"])
    assert hits(c, "ABC") == ["abc"]
    c.ignore_case = False  # keys stay lower-cased, the text is no longer lowered
    assert hits(c, "ABC") is None and hits(c, "abc") == ["abc"]


def test_engine_attributes_are_read_at_each_check(engine):
    c = checker_for(["one"])
    c._ban_regex, c._automaton = re.compile("two"), None
    assert hits(c, "one") is None and hits(c, "two") == ["two"]
    if engine == "automaton":
        import ahocorasick

        auto = ahocorasick.Automaton()
        auto.add_word("three", "three")
        auto.make_automaton()
        c._automaton = auto
        assert hits(c, "two") is None and hits(c, "three") == ["three"]
        c = checker_for(["one"])
        c._automaton.add_word("four", "four")
        c._automaton.make_automaton()
        assert hits(c, "four") == ["four"]


def test_overrides_are_called_through_self(engine, tmp_path):
    calls = []

    class Mine(PromptBanChecker):
        def _has_banned_word(self, text):
            calls.append(("has", text))
            return super()._has_banned_word(text)

        def find_matched_words(self, text):
            return ["custom"]

        @staticmethod
        def _load_from_file(file_path):
            return ["fromfile"]

    path = tmp_path / "w.txt"
    path.write_text("ignored")
    c = Mine(str(path), builtin_words=FILLERS[:49])
    assert "fromfile" in c.banned_words
    with pytest.raises(PromptBanError, match="^违禁词: custom$"):
        c.check("fromfile")
    assert calls == [("has", "fromfile")]


def _override_on_instance(c, methods, monkeypatch):
    for name, fn in methods.items():
        setattr(c, name, fn)


def _override_in_dict(c, methods, monkeypatch):
    vars(c).update(methods)


def _override_on_class(c, methods, monkeypatch):
    for name, fn in methods.items():
        monkeypatch.setattr(PromptBanChecker, name, lambda self, text, fn=fn: fn(text))


def _override_by_getattribute(c, methods, monkeypatch):
    class Hooked(PromptBanChecker):
        def __getattribute__(self, attr):
            return methods[attr] if attr in methods else super().__getattribute__(attr)

    c.__class__ = Hooked


@pytest.mark.parametrize("override", [_override_on_instance, _override_in_dict, _override_on_class,
                                      _override_by_getattribute])
def test_check_calls_whatever_self_gives(engine, override, monkeypatch):
    """check() takes the methods as self.<name> would give them, however they were replaced."""
    c = checker_for(["w"])
    override(c, {"_has_banned_word": lambda text: text == "clean", "find_matched_words": lambda text: ["said"]},
             monkeypatch)
    with pytest.raises(PromptBanError, match="^违禁词: said$"):
        c.check("clean")
    assert c.check("w") == "w"


@needs_ac
def test_engines_are_swapped_without_a_gap():
    """The new engine is assigned before the other attribute is cleared."""
    log = []

    class Spy(PromptBanChecker):
        def __setattr__(self, name, value):
            if name in ("_ban_regex", "_automaton"):
                log.append((name, value is not None))
            super().__setattr__(name, value)

    c = Spy(builtin_words=["w"], use_default=False)
    log.clear()
    c.builtin_words.extend(FILLERS)
    c.load_banned_words()
    assert log == [("_automaton", True), ("_ban_regex", False)]
    log.clear()
    del c.builtin_words[1:]
    c.load_banned_words()
    assert log == [("_ban_regex", True), ("_automaton", False)]


@needs_ac
def test_reload_in_another_thread_never_misses_a_shared_word():
    small, large = ["common"], ["common"] + FILLERS
    c = PromptBanChecker(builtin_words=list(small), use_default=False)
    stop, misses, checks = threading.Event(), [], []

    def reload():
        for i in range(2000):
            c.builtin_words[:] = large if i % 2 == 0 else small
            c.load_banned_words()
        stop.set()

    def screen():
        while not stop.is_set():
            checks.append(1)
            if hits(c, "a common word") != ["common"]:
                misses.append(1)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=screen) for _ in range(3)] + [threading.Thread(target=reload)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert not misses and len(checks) > 100


# The first-hit test must answer exactly as the engine on the instance would.
TRICKY = "aAiIsSkKzZ \u0131\u0130\u017f\u212a\u03c3\u03a3\u03c2\u00e9\u00c9\u00df\u1e9e\u0307\uff21\uff41" \
         "\u4e2d\u6587\u3000\u00a0\u00b5\u039c\u01c5\u24b6\U0001F600\U00010400\U00010428\ud800"


def engine_says(c, text):
    if c._automaton:
        return any(True for _ in c._automaton.iter(text.lower() if c.ignore_case else text))
    return bool(c._ban_regex and c._ban_regex.search(text))


@pytest.mark.parametrize("ignore_case", [True, False])
@pytest.mark.parametrize("use_ac", [False, pytest.param(True, marks=needs_ac)])
def test_first_hit_agrees_with_the_engine(monkeypatch, ignore_case, use_ac):
    monkeypatch.setattr(wordsift, "_HAS_AC", use_ac)
    rng = random.Random(20240601)
    text_of = lambda low, high: "".join(rng.choice(TRICKY) for _ in range(rng.randint(low, high)))  # noqa: E731
    for _ in range(150):
        words = [w for w in (text_of(1, 3) for _ in range(rng.randint(1, 4))) if w.strip()] or ["k"]
        c = checker_for(words, ignore_case=ignore_case)
        for text in [text_of(0, 12) for _ in range(8)] + ["".join(words), words[0].upper(), words[0].lower()]:
            assert c._has_banned_word(text) is engine_says(c, text), (words, text)


def test_first_hit_agrees_on_every_code_point(monkeypatch):
    """Every code point against ASCII letters, and every code point that has a case partner."""
    letters = [chr(c) for c in range(ord("a"), ord("z") + 1)]
    everything = [chr(c) for c in range(0x80, 0x110000)]
    for use_ac in [False] + [True] * HAS_AC:
        monkeypatch.setattr(wordsift, "_HAS_AC", use_ac)
        c = checker_for(letters)
        suspects = [t for t in everything if engine_says(c, t)]
        assert [t for t in suspects if not c._has_banned_word(t)] == []
    monkeypatch.setattr(wordsift, "_HAS_AC", False)
    cased = [t for t in everything if t.lower() != t or t.upper() != t]
    wrong = []
    for t in cased:
        for partner in {t.lower(), t.upper(), t.swapcase()} - {t}:
            c = PromptBanChecker(builtin_words=[partner], use_default=False)
            if c._has_banned_word(t) is not engine_says(c, t):
                wrong.append((t, partner))
    if HAS_AC:  # the automaton searches text.lower(): every cased code point hits its own lower case
        monkeypatch.setattr(wordsift, "_HAS_AC", True)
        c = PromptBanChecker(builtin_words=sorted({t.lower() for t in cased}), use_default=False)
        wrong += [t for t in cased if not c._has_banned_word(t)]
    assert wrong == []


# ---- many prompts at once ------------------------------------------------------------------------

MANY_WORDS = ["Word07", "大麻", "σ", "\U0001F600", "x.y"]
PIECES = ["a quiet harbour ", "word07 ", "WORD0", "7 ", "大", "麻", "中文提示", "\U0001F600", "\ud800", "Σ", "ΣΑ", "x.y",
          "xzy", "İ", TRICKY, " "]


def many_prompts(seed):
    """Mixed prompts (ASCII, CJK, astral, lone surrogates, capital sigma, code points of blocks not
    seen yet, empty ones), with a few long ones: several blocks, some scanned across threads."""
    rng = random.Random(seed)
    astral = lambda: chr(rng.randrange(0x10000, 0x40000))  # noqa: E731
    prompts = ["".join(rng.choice(PIECES + [astral()]) for _ in range(rng.choice([0, 1, 3, 30])))
               for _ in range(3000)]
    long = ["".join(rng.choice(PIECES[:3]) for _ in range(25_000)) for _ in range(3)]
    return prompts[:1000] + long[:2] + ["a quiet harbour " * 20_000 + "word07"] + prompts[1000:] + long[2:]


class SaysEven(PromptBanChecker):
    def _has_banned_word(self, text):
        self.asked.append(text)
        return len(text) % 2 == 0 or super()._has_banned_word(text)


def replaced_engine(c):
    c._ban_regex, c._automaton = re.compile("harbour|大麻", re.IGNORECASE), None


def changed_automaton(c):
    if c._automaton:
        c._automaton.add_word("quiet", "quiet")
        c._automaton.make_automaton()


MANY_CASES = {
    "ignore_case": lambda: checker_for(MANY_WORDS),
    "case-sensitive": lambda: checker_for(MANY_WORDS, ignore_case=False),
    "normalize": lambda: checker_for(MANY_WORDS, normalize=True),
    "allow words": lambda: checker_for(MANY_WORDS, allow_words=["word07 7"]),
    "empty lexicon": lambda: PromptBanChecker(use_default=False),
    "replaced engine": lambda: checker_for(MANY_WORDS, _then=replaced_engine),
    "changed automaton": lambda: checker_for(MANY_WORDS, _then=changed_automaton),
    "subclass": lambda: checker_for(MANY_WORDS, _cls=SaysEven),
    "instance attribute": lambda: checker_for(MANY_WORDS, _then=lambda c: setattr(c, "_has_banned_word", len)),
}


@pytest.mark.parametrize("threads", [None, 1, 2, 64])
@pytest.mark.parametrize("case", MANY_CASES)
def test_check_many_answers_as_has_banned_word_does(engine, case, threads):
    c = MANY_CASES[case]()
    prompts = many_prompts(len(case))
    c.asked = []
    expected = [bool(c._has_banned_word(p)) for p in prompts]
    asked, c.asked = c.asked, []
    assert c.check_many(prompts, threads=threads) == expected
    assert c.asked == asked  # an override is called once per prompt, in order
    assert c.check_many(tuple(prompts[:50])) == expected[:50] and c.check_many([]) == []


# In a fresh interpreter no case table beyond ASCII is filled yet: the batch meets blocks
# it must have filled (the GIL held) before it can answer.
FIRST_USE = """
from vantry import wordsift
from vantry.wordsift import PromptBanChecker
prompts = ["x" * 70000 + "\\ua641X", "\\U00010428Y", "clean " * 9000, "\\ua640", "\\u0430\\u0411b"]
words = ["\\ua640x", "\\U00010400y", "\\u0410\\u0431B"] + [f"w{i}" for i in range(60)]
for has_ac in sorted({False, wordsift._HAS_AC}):
    wordsift._HAS_AC = has_ac
    c = PromptBanChecker(builtin_words=words, use_default=False)
    print(c.check_many(prompts, threads=2))
"""


def test_check_many_fills_the_case_tables_it_needs():
    run = run_python(FIRST_USE)
    assert run.returncode == 0 and set(run.stdout.splitlines()) == {"[True, True, False, False, True]"}, run.stderr


@pytest.mark.parametrize(
    "prompts, threads, error, message",
    [
        (["word", 1], None, TypeError, "Argument 'text' has incorrect type (expected str, got int)"),
        (["word", None], 2, TypeError, "Argument 'text' has incorrect type (expected str, got NoneType)"),
        (["a quiet harbour " * 5000] * 3 + [b"word"], 2, TypeError, "(expected str, got bytes)"),  # blocks ahead
        ([type("Text", (str,), {})("word")], 1, TypeError, "(expected str, got Text)"),
        ("word", None, TypeError, "check_many() expects a sequence of str such as a list, not str"),
        (b"word", None, TypeError, "check_many() expects a sequence of str such as a list, not bytes"),
        (iter(["word"]), None, TypeError, "check_many() expects a sequence of str such as a list, not list_iterator"),
        ({"word": 1}, None, TypeError, "not dict"),
        (["word"], 0, ValueError, "threads must be at least 1 (or None), not 0"),
        (["word"], -(2**70), ValueError, "threads must be at least 1 (or None), not -1180591620717411303424"),
        (["word"], "2", TypeError, "Argument 'threads' has incorrect type (expected int, got str)"),
    ],
)
def test_check_many_refuses_what_is_not_a_sequence_of_str(engine, prompts, threads, error, message):
    for c in (checker_for(["word"]), PromptBanChecker(use_default=False), checker_for(["word"], normalize=True)):
        with pytest.raises(error, match=re.escape(message)):
            c.check_many(prompts, threads=threads)
    c = checker_for(["word"])
    assert c.check_many(["word", "x"] * 3, threads=2.9) == [True, False] * 3  # numbers truncate, as elsewhere
    assert c.check_many(["word"], threads=2**70) == [True]


# ---- normalised screening and allow lists -------------------------------------------------------------


@pytest.fixture(scope="module")
def normalized():
    return PromptBanChecker(normalize=True)


@pytest.mark.parametrize(
    "prompt, entry",
    [
        ("ｃｏｃａｉｎｅ", "cocaine"),  # full width
        ("co\u200bcaine", "cocaine"),  # zero-width space
        ("cocaïne", "cocaine"),
        ("coca\u0301ine", "cocaine"),  # a combining accent
        ("сосаіnе", "cocaine"),  # Cyrillic look-alikes
        ("СОСАІNЕ", "cocaine"),
        ("c.o.c.a.i.n.e", "cocaine"),
        ("c o c a i n e", "cocaine"),
        ("c. o. c. a. i. n. e", "cocaine"),
        ("h-e-n-t-a-i", "hentai"),
        ("𝐧𝐮𝐝𝐞", "nude"),  # mathematical bold
        ("ⓝⓤⓓⓔ", "nude"),  # enclosed letters
        ("n\u00adu\u2060d\ufeffe", "nude"),  # soft hyphen, word joiner, BOM
        ("Ｎ.Ü.Ｄ.Ё", "nude"),  # combinations
        ("裸體", "裸体"),  # traditional
        ("裸@体", "裸体"),
        ("裸 体", "裸体"),
        ("裸\u3000體", "裸体"),
        ("吸 食 大 麻", "吸食大麻"),
        ("a bag of cocaine", "cocaine"),  # the plain word, of course
    ],
)
def test_normalized_catches_disguised_words(normalized, prompt, entry):
    assert entry in hits(normalized, prompt)
    assert hits(PromptBanChecker(), prompt) is None or prompt == "a bag of cocaine"  # the default lets them pass


@pytest.mark.parametrize(
    "prompt",
    ["the pen is mightier", "who re-entered the room", "一只大麻雀站在树枝上", "这真是一个大麻烦", "一根大麻花",
     "U.S. a.m. e.g. Ph.D.", "Москва — столица России", "καλημέρα κόσμε", "印度支那半岛", "a lighthouse at dawn",
     "I saw a b c on the wall", "ｈｅｌｌｏ ｗｏｒｌｄ"],
)
def test_normalized_keeps_innocent_prompts_clean(normalized, prompt):
    assert hits(normalized, prompt) is None


@pytest.mark.parametrize(
    "words, allow, normalize, prompt, expected",
    [
        (["ab"], ["xab"], False, "xab", None),
        (["ab"], ["xab"], False, "xab ab", ["ab"]),  # another occurrence outside
        (["bc"], ["ab"], False, "abc", ["bc"]),  # overlapping is not inside
        (["ab", "abc"], ["abc"], False, "abc", None),
        (["Foo"], ["zz"], False, "FOO", ["Foo"]),  # the entry is reported, not the prompt's text
        (["b", "a"], None, True, "a b", ["a", "b"]),  # first-seen order
        (["***", "x"], None, True, "*** x", ["x"]),  # a word of separators only never matches
        (["***"], None, True, "***", None),
        (["Cocaine", "cocaine"], None, True, "COCAINE", ["Cocaine", "cocaine"]),
        (["大麻"], None, True, "大麻雀 大麻", ["大麻"]),
        (["大麻"], ["大 麻 雀"], False, "大麻雀", ["大麻"]),  # without normalize allow words match as written
        (["大麻"], ["大 麻 雀"], True, "大麻雀", None),
        (["sparrow"], ["big sparrow"], True, "big  sparrow", None),
    ],
)
def test_allow_words_mask_what_lies_inside(engine, words, allow, normalize, prompt, expected):
    c = checker_for(words, normalize=normalize, allow_words=allow)
    assert c.find_matched_words(prompt) == (expected or [])
    assert hits(c, prompt) == (sorted(expected) if expected else None)


def test_screening_options_keep_default_attributes_and_survive_copies():
    assert vars(PromptBanChecker()).keys() == {"ban_word_file", "ignore_case", "builtin_words", "use_default",
                                               "exclude_words", "banned_words", "_ban_regex", "_automaton"}
    allow = ["big sparrow"]
    c = PromptBanChecker(builtin_words=["sparrow"], normalize=True, allow_words=allow)
    assert c.normalize is True and c.allow_words is allow
    for twin in (pickle.loads(pickle.dumps(c)), copy.copy(c), copy.deepcopy(c)):
        assert (twin.normalize, twin.allow_words) == (True, allow)
        assert hits(twin, "s.p.a.r.r.o.w") == ["sparrow"] and hits(twin, "a big sparrow") is None


def test_screening_mode_follows_the_attributes_at_each_load():
    c = PromptBanChecker(builtin_words=["nude"], use_default=False)
    assert hits(c, "n.u.d.e") is None
    c.normalize = True
    assert hits(c, "n.u.d.e") is None  # the mode is part of the build
    c.load_banned_words()
    assert hits(c, "n.u.d.e") == ["nude"]
    c.allow_words, c.normalize = ["nudes"], False
    c.load_banned_words()
    assert hits(c, "n.u.d.e") is None and hits(c, "nudes") is None and hits(c, "NUDE") == ["nude"]


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"allow_words": "x"}, TypeError, "Argument 'allow_words' has incorrect type (expected list, got str)"),
        ({"allow_words": [1]}, AttributeError, "strip"),
    ],
)
def test_screening_option_errors(kwargs, error, message):
    with pytest.raises(error, match=re.escape(message)):
        PromptBanChecker(use_default=False, builtin_words=["x"], **kwargs)
    with pytest.raises(TypeError):
        PromptBanChecker(None, True, None, True, None, True)  # keyword only


def test_screening_has_no_leaks():
    for c in (PromptBanChecker(normalize=True), checker_for(["word"], allow_words=["sword"])):
        assert_no_leak(lambda: c.check("clean text with ünïcode 裸 and ｆｕｌｌ"), calls=500)
        assert_no_leak(raises(PromptBanError, c.check, "a word and c.o.c.a.i.n.e here"), calls=500)
        assert_no_leak(lambda: c.find_matched_words("word sword"), calls=500)
        assert_no_leak(lambda: c.check_many(["word sword", "clean ｆｕｌｌ"] * 3), calls=500)
        assert_no_leak(c.load_banned_words, calls=50)
    assert_no_leak(lambda: PromptBanChecker(builtin_words=["q"], use_default=False, normalize=True), calls=300)
    twin = pickle.loads(pickle.dumps(PromptBanChecker(builtin_words=["q"], use_default=False, normalize=True)))
    assert_no_leak(lambda: copy.copy(twin).check("q"[:0] + "clean"), calls=300)


# ---- leaks ------------------------------------------------------------------------------------


def test_no_leaks(tmp_path, monkeypatch):
    txt, pkl, bad = tmp_path / "w.txt", tmp_path / "w.pkl", tmp_path / "bad.pkl"
    txt.write_text("a\nb\n")
    pkl.write_bytes(pickle.dumps(["a", 1]))
    bad.write_bytes(pickle.dumps({"a": 1}))
    evil = tmp_path / "evil.pkl"
    evil.write_bytes(EXEC_PICKLE % b"x")
    regex = checker_for(["word"], ignore_case=True)
    monkeypatch.setattr(wordsift, "_HAS_AC", False)
    small = PromptBanChecker(builtin_words=["word", "WORD", "gone"], use_default=False, exclude_words=["Gone"])
    monkeypatch.setattr(wordsift, "_HAS_AC", HAS_AC)
    checkers = [small, regex] + [checker_for(["word"])] * HAS_AC
    long_text = "x" * 1000 + "\u00e9"
    for c in checkers:
        assert_no_leak(lambda: c.check("clean text"))
        assert_no_leak(lambda: c._has_banned_word(long_text))
        assert_no_leak(lambda: c._has_banned_word(long_text[:-1] * 100), calls=200)  # ASCII read in place
        assert_no_leak(raises(PromptBanError, c.check, "a word here"))
        assert_no_leak(lambda: c.find_matched_words("word WORD"))
        assert_no_leak(lambda: c.check_many(["clean text", "a word here", long_text, "Σ", "中文\U0001F600"]))
        assert_no_leak(lambda: c.check_many(["x" * 70_000, "y" * 70_000 + "word"], threads=2), calls=300)
        assert_no_leak(raises(TypeError, c.check_many, ["clean", 1]))
        assert_no_leak(raises(ValueError, c.check_many, ["clean"], threads=0))
        assert_no_leak(c.load_banned_words, calls=300)
        assert_no_leak(c._build_engine, calls=300)
    assert_no_leak(lambda: PromptBanChecker(str(txt), builtin_words=["q"], use_default=False), calls=500)
    assert_no_leak(lambda: PromptBanChecker(), calls=200)
    assert_no_leak(lambda: PromptBanChecker._load_from_file(str(pkl)), calls=500)
    assert_no_leak(raises(ValueError, PromptBanChecker._load_from_file, str(bad)), calls=500)
    assert_no_leak(raises(pickle.UnpicklingError, PromptBanChecker._load_from_file, str(evil)), calls=500)
    for name, content in [("bomb", HOSTILE_PICKLES["LONG_BINPUT 2**27, 9 bytes"]), ("dag", shared_list(39)),
                          ("bytes", HOSTILE_PICKLES["BINBYTES 2**32-1"])]:
        hostile = tmp_path / f"{name}.pkl"
        hostile.write_bytes(content)
        assert_no_leak(raises(pickle.UnpicklingError, PromptBanChecker._load_from_file, str(hostile)), calls=300)
    nested = tmp_path / "nested.pkl"
    nested.write_bytes(pickle.dumps([[["a", 1], {"k": (2.5, b"b")}, {3}]] * 3))
    assert_no_leak(lambda: PromptBanChecker._load_from_file(str(nested)), calls=300)
    assert_no_leak(raises(FileNotFoundError, PromptBanChecker, "/no/such/file"), calls=500)
    assert_no_leak(raises(TypeError, PromptBanChecker, b"f"))
    assert_no_leak(raises(TypeError, small.check, None))
    assert_no_leak(lambda: PromptBanChecker.create_pickle_file([" a ", ""], str(tmp_path / "o.pkl")), calls=500)
    assert_no_leak(lambda: wordsift._xor(b"data" * 100, b"key"))
    assert_no_leak(raises(ZeroDivisionError, wordsift._xor, b"x", b""))
    assert_no_leak(raises(TypeError, wordsift._xor, "x", b""))
    assert_no_leak(wordsift._load_default_words, calls=300)
    if HAS_AC:
        assert_no_leak(checkers[-1]._build_automaton, calls=300)
    fake_vault(monkeypatch, raw=b"broken")
    assert_no_leak(wordsift._load_default_words)
