"""Arbitrary lexicon files and built-in lexicons into the checker.

Files: binary garbage under every extension, text in the wrong encoding,
deeply nested and self-referencing pickles, pickles that reach for globals.
Each gives a list of texts or an Exception, and a checker built on it keeps
the invariants of banned_words. A pickle never gets to run code. A broken
built-in lexicon only ever empties the built-in source.
"""

import copyreg
import os
import pickle
import pickletools
import sys
import tempfile
import types

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from fuzzsupport import fuzz, isolated
from vantry import wordsift
from vantry.wordsift import PromptBanChecker

EXTENSIONS = [".txt", ".pkl", ".pickle", ".PKL", "", ".dat"]
ENCODINGS = ["utf-8", "utf-16", "utf-32", "gbk", "latin-1", "cp1252", "utf-8-sig"]

words = st.lists(st.text(max_size=8), max_size=10)


@st.composite
def wrongly_encoded(draw):
    text = "\n".join(draw(words))
    try:
        return text.encode(draw(st.sampled_from(ENCODINGS)), errors="replace")
    except UnicodeError:
        return text.encode("utf-8", errors="surrogatepass")


@st.composite
def pickles(draw):
    value = draw(st.recursive(
        st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=6) | st.binary(max_size=6),
        lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner) | st.dictionaries(st.text(max_size=3), inner, max_size=3),
        max_leaves=12,
    ))
    if draw(st.booleans()):
        value = [value] if not isinstance(value, list) else value
    data = pickle.dumps(value, protocol=draw(st.integers(0, pickle.HIGHEST_PROTOCOL)))
    if draw(st.booleans()) and data:  # damage it
        data = bytearray(data)
        i = draw(st.integers(0, len(data) - 1))
        data[i] = draw(st.integers(0, 255))
        data = bytes(data[: draw(st.integers(0, len(data)))])
    return data


def nested(depth):
    """A list nested `depth` deep, written opcode by opcode (the pickler itself would recurse)."""
    return b"\x80\x02" + b"]" * depth + b"a" * (depth - 1) + b"."


def self_referencing():
    value = ["a"]
    value.append(value)
    return pickle.dumps(value)


# Each would call a function if unpickled by the standard loader.
CALLING = [
    pickle.dumps([os.getcwd]),
    b"cos\nsystem\n(S'echo pwned'\ntR.",
    b"cbuiltins\nexec\n(S'import sys; sys.modules[\"__main__\"].PWNED = 1'\ntR.",
    b"\x80\x04\x95\x1a\x00\x00\x00\x00\x00\x00\x00\x8c\x08builtins\x94\x8c\x04eval\x94\x93\x94\x8c\x011\x94\x85\x94R\x94.",
    b"(cbuiltins\nlist\nS'ab'\no.",  # INST/OBJ
    b"\x80\x02\x82\xf0)R.",  # EXT1: extension code 240, registered below as os.getcwd
    b"(I1\nP0\n.",  # a persistent id
]

file_contents = st.binary(max_size=200) | wrongly_encoded() | pickles() | st.sampled_from(
    CALLING + [nested(3000), nested(200_000), self_referencing(), pickle.dumps({"a": 1}), pickle.dumps("text")]
)


def check_banned_words(checker):
    words = checker.banned_words
    assert all(type(w) is str and w and w == w.strip() for w in words)
    assert len(set(words)) == len(words)
    assert [len(w) for w in words] == sorted((len(w) for w in words), reverse=True)


@isolated
@fuzz("file")
@given(file_contents, st.sampled_from(EXTENSIONS))
@example(nested(200_000), ".pkl")
@example(self_referencing(), ".pkl")
@example(b"\xff\xfe\x00\x00", ".txt")
def test_arbitrary_lexicon_files(content, extension):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "words" + extension)
        with open(path, "wb") as f:
            f.write(content)
        try:
            loaded = PromptBanChecker._load_from_file(path)
        except Exception:  # noqa: BLE001 - unreadable, undecodable or not a list
            loaded = None
        else:
            assert type(loaded) is list and all(type(w) is str for w in loaded)
        try:
            checker = PromptBanChecker(ban_word_file=path, use_default=False)
        except Exception:  # noqa: BLE001 - the same refusal as the loader's
            assert loaded is None
            return
        assert loaded is not None
        check_banned_words(checker)
        assert set(checker.banned_words) == {w.strip() for w in loaded if w.strip()}
    assert not hasattr(sys.modules["__main__"], "PWNED")


@pytest.mark.parametrize("content", CALLING, ids=range(len(CALLING)))
def test_pickles_never_run_code(content, tmp_path, capfd):
    path = tmp_path / "words.pkl"
    path.write_bytes(content)
    copyreg.add_extension("os", "getcwd", 240)
    try:
        with pytest.raises(pickle.UnpicklingError):
            PromptBanChecker._load_from_file(str(path))
    finally:
        copyreg.remove_extension("os", "getcwd", 240)
    assert "pwned" not in capfd.readouterr().out and not hasattr(sys.modules["__main__"], "PWNED")


# ---- built-in lexicon ---------------------------------------------------------------------------


def with_vault(ek, ed):
    """_load_default_words with a stand-in data module."""
    saved = sys.modules.get("vantry._lexivault")
    sys.modules["vantry._lexivault"] = types.SimpleNamespace(_EK=ek, _ED=ed)
    try:
        return wordsift._load_default_words()
    finally:
        if saved is None:
            del sys.modules["vantry._lexivault"]
        else:
            sys.modules["vantry._lexivault"] = saved


def xor(data, key):
    return bytes(b ^ key[i % len(key)] for i, b in enumerate(data)) if key else data


def reaches_globals(data):
    try:
        return any(op.name in GLOBAL_OPCODES for op, _, _ in pickletools.genops(data))
    except Exception:  # noqa: BLE001 - not a pickle at all
        return True


GLOBAL_OPCODES = {"GLOBAL", "STACK_GLOBAL", "INST", "OBJ", "EXT1", "EXT2", "EXT4", "PERSID", "BINPERSID"}


@fuzz("file")
@given(st.binary(max_size=40), file_contents)
def test_broken_builtin_lexicon_is_empty_or_its_list(key, plain):
    got = with_vault(key, xor(plain, key))
    assert type(got) is list
    if not key or not plain or len(plain) > 10_000 or reaches_globals(plain):
        return
    try:
        expected = pickle.loads(plain)
    except Exception:  # noqa: BLE001
        expected = []
    if not isinstance(expected, list):
        expected = []
    try:
        assert pickle.dumps(got) == pickle.dumps(expected)  # equal even with NaNs inside
    except RecursionError:  # too deep to compare whole
        assert len(got) == len(expected)


@pytest.mark.parametrize("ek, ed", [(None, b"x"), (b"k", None), ("k", b"x"), (b"", b"x"), (b"k", b""), (1, 2)])
def test_wrongly_typed_vault_names_empty_the_source(ek, ed):
    assert with_vault(ek, ed) == []
