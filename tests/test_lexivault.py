import importlib.util
import io
import pathlib
import pickle
import subprocess
import sys

import pytest

from vantry import _lexivault, wordsift

ROOT = pathlib.Path(__file__).resolve().parent.parent
LEXICON = ROOT / "data" / "lexicon"
GENERATOR = ROOT / "tools" / "lexivault_gen.py"


class NoGlobals(pickle.Unpickler):
    def find_class(self, module, name):
        raise pickle.UnpicklingError(f"{module}.{name}")


def deciphered():
    raw = bytes(b ^ _lexivault._EK[i % 32] for i, b in enumerate(_lexivault._ED))
    return raw, NoGlobals(io.BytesIO(raw)).load()


def test_module_defines_exactly_the_two_constants():
    own = [name for name in vars(_lexivault) if not name.startswith("__")]
    assert own == ["_EK", "_ED"]
    assert type(_lexivault._EK) is bytes and len(_lexivault._EK) == 32
    assert type(_lexivault._ED) is bytes and _lexivault.__file__.endswith(".abi3.so")


def test_enciphering_the_deciphered_data_gives_it_back():
    raw, _ = deciphered()
    assert wordsift._xor(raw, _lexivault._EK) == _lexivault._ED
    assert len(raw) == len(_lexivault._ED)


def test_lexicon_is_a_real_bilingual_list():
    _, words = deciphered()
    assert type(words) is list and len(set(words)) == len(words) >= 500
    assert all(type(w) is str and w == w.strip() and w for w in words)
    assert sum(w.isascii() for w in words) >= 200 and sum(not w.isascii() for w in words) >= 200
    assert {"nude", "child porn", "beheading", "裸体", "儿童色情", "冰毒", "自杀"} <= set(words)


def load_generator():
    spec = importlib.util.spec_from_file_location("lexivault_gen", GENERATOR)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.skipif(not LEXICON.is_dir(), reason="needs the source tree")
def test_built_module_holds_the_word_files():
    words = load_generator().read_words(sorted(LEXICON.glob("*.txt")))
    assert deciphered()[1] == words
    assert bytes.fromhex((LEXICON / "key.hex").read_text().strip()) == _lexivault._EK


@pytest.mark.skipif(not GENERATOR.is_file(), reason="needs the source tree")
def test_generator_merges_files_and_checks_the_key(tmp_path):
    (tmp_path / "a.txt").write_bytes("\ufeffalpha\r\n\r\n  beta  \nalpha\n".encode())
    (tmp_path / "b.txt").write_text("beta\n甲乙\n", encoding="utf-8")
    gen = load_generator()
    assert gen.read_words([tmp_path / "a.txt", tmp_path / "b.txt"]) == ["alpha", "beta", "甲乙"]

    (tmp_path / "short.hex").write_text("00ff")
    run = [sys.executable, str(GENERATOR), "--output", str(tmp_path / "out.cpp"), str(tmp_path / "a.txt")]
    bad = subprocess.run(run + ["--key", str(tmp_path / "short.hex")], capture_output=True, text=True)
    assert bad.returncode != 0 and "must be 32 bytes" in bad.stderr

    (tmp_path / "key.hex").write_text("11" * 32)
    subprocess.run(run + ["--key", str(tmp_path / "key.hex")], check=True)
    source = (tmp_path / "out.cpp").read_text()
    assert "kKey[32]" in source and '"_EK"' in source and '"_ED"' in source
