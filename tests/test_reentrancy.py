"""Host code that runs inside a call and re-enters the package.

Destructors of lexicon words and automaton values that build and drop
checkers, in-place changes of an engine, methods of one instance bound onto
another, loggers that rewrite the instance, number hooks that mutate what is
being read. Every case either raises an ordinary exception or gives the
engine's own answer; the ones that used to crash run in a subprocess so a
crash fails one test. CI runs this module under ASan/UBSan and valgrind too.
"""

import gc
import io
import pickle
import subprocess
import sys
import textwrap
import types
import weakref

import pytest
from PIL import Image

from vantry.aspecta import Aspecta
from vantry.excode import PromptBanError, _restore
from vantry.wordsift import PromptBanChecker

ahocorasick = pytest.importorskip("ahocorasick")

FILLER = [f"filler{i:03d}" for i in range(60)]  # enough words for the automaton engine


def run_isolated(code, timeout=120):
    """Runs `code` in a fresh interpreter; returns its stdout, failing on a crash."""
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout)
    assert run.returncode == 0, run.stderr[-2000:]
    return run.stdout


def agrees_with_engine(checker, prompt):
    """check() refuses exactly the prompts in which the engine finds a word."""
    found = checker.find_matched_words(prompt)
    try:
        checker.check(prompt)
        refused = False
    except PromptBanError:
        refused = True
    return refused == bool(found)


class Rebuilding(str):
    """A lexicon word whose destructor runs a build while another is under way."""

    action = None

    def __del__(self):
        if Rebuilding.action:
            Rebuilding.action()


@pytest.fixture
def on_word_death():
    def arm(action):
        Rebuilding.action = action

    yield arm
    Rebuilding.action = None


def hostile_words(*words):
    return [Rebuilding(w) for w in words] + FILLER


@pytest.mark.parametrize("engine_words", [FILLER, FILLER[:10]], ids=["automaton", "regex"])
@pytest.mark.parametrize("during", ["rebuild the same checker", "build other lexicons"])
def test_destructors_running_mid_build(on_word_death, engine_words, during):
    checker = PromptBanChecker(builtin_words=["pear"] + engine_words, use_default=False)
    others = []

    def action():
        Rebuilding.action = None  # once
        if during == "rebuild the same checker":
            checker._build_engine()
        else:
            others.append(PromptBanChecker(builtin_words=["apple"] + engine_words, use_default=False))
            others.append(PromptBanChecker())

    on_word_death(action)
    checker.banned_words = hostile_words("pear", "fig")[: 2 + len(engine_words)]
    checker._build_engine()
    checker.banned_words = ["plum"] + list(engine_words)
    checker._build_engine()  # drops the hostile words: their destructor runs mid-build
    gc.collect()
    for prompt in ("pear", "plum", "apple", "a fig", "filler001"):
        assert agrees_with_engine(checker, prompt), prompt
    default = PromptBanChecker()
    word = default.banned_words[0]
    assert agrees_with_engine(default, f"xx {word} xx") and default.find_matched_words(word)
    for other in others:
        assert agrees_with_engine(other, "apple") and agrees_with_engine(other, "pear")


IN_PLACE = {
    "remove and add": lambda a: (a.remove_word("pear"), a.add_word("pean", "pean"), a.make_automaton()),
    "clear and refill": lambda a: (a.clear(), [a.add_word(w, w) for w in ["pean"] + FILLER], a.make_automaton()),
    "add without make": lambda a: a.add_word("plum", "plum"),
    "pop": lambda a: (a.pop("pear"), a.make_automaton()),
}


@pytest.mark.parametrize("change", IN_PLACE)
def test_automaton_changed_in_place(change):
    checker = PromptBanChecker(builtin_words=["pear"] + FILLER, use_default=False)
    assert checker._automaton is not None
    IN_PLACE[change](checker._automaton)
    for prompt in ("pear", "pean", "plum", "filler007", "clean"):
        try:
            agrees = agrees_with_engine(checker, prompt)
        except Exception as err:  # an automaton left unmade refuses iter() itself
            assert type(err).__name__ == "AttributeError" or isinstance(err, ValueError), err
            continue
        assert agrees, prompt


class OddAutomaton:
    """An engine stand-in whose attributes fail or lie."""

    @property
    def kind(self):
        raise RuntimeError("no kind")

    def __len__(self):
        return 10**6

    def __bool__(self):
        return True

    def iter(self, text):
        return iter([(0, "odd")] if "odd" in text else [])


@pytest.mark.parametrize("engine", ["_automaton", "_ban_regex"])
def test_engines_reassigned_by_hand(engine):
    checker = PromptBanChecker(builtin_words=["pear"] + FILLER, use_default=False)
    other = PromptBanChecker(builtin_words=["plum"] + FILLER[:5], use_default=False)
    if engine == "_automaton":
        checker._automaton = OddAutomaton()
        assert checker.check("pear") == "pear"
        with pytest.raises(PromptBanError):
            checker.check("odd")
    else:
        checker._automaton, checker._ban_regex = None, other._ban_regex
        assert agrees_with_engine(checker, "plum") and agrees_with_engine(checker, "pear")


@pytest.mark.parametrize("kind", ["wordsift", "aspecta"])
def test_own_method_bound_to_another_instance(kind):
    if kind == "wordsift":
        a = PromptBanChecker(builtin_words=["apple"], use_default=False)
        b = PromptBanChecker(builtin_words=["pear"], use_default=False)
        a._has_banned_word = b._has_banned_word
        with pytest.raises(PromptBanError):
            a.check("pear")  # b's lexicon decides
        assert a.check("apple") == "apple"
    else:
        a, b = Aspecta(proportion="16:9"), Aspecta(proportion="16:9")
        b._std_ratio_map = {"16:9": 1.0}
        a._get_closest_standard_ratio = b._get_closest_standard_ratio
        buf = io.BytesIO()
        Image.new("RGB", (40, 40)).save(buf, format="PNG")
        assert Image.open(io.BytesIO(a.adjust_size(buf.getvalue()))).size != (40, 40)  # b says 16:9


class EngineStandIn:
    """A hand-built engine that refers back to its checker."""

    def __init__(self, checker):
        self.checker = checker

    def iter(self, text):
        return iter([(0, "pear")] if "pear" in text else [])


@pytest.mark.parametrize("engine", ["automaton", "regex", "stand-in"])
def test_checkers_in_cycles_are_collected(engine):
    words = FILLER if engine != "regex" else FILLER[:5]
    checker = PromptBanChecker(builtin_words=words, use_default=False)
    if engine == "stand-in":
        checker._automaton = EngineStandIn(checker)
        assert checker.find_matched_words("pear") == ["pear"]
    checker.me = checker
    assert checker.check("plum") == "plum"
    gone = weakref.ref(checker)
    del checker
    gc.collect()
    assert gone() is None


def test_restore_takes_any_mapping():
    error = _restore(PromptBanError, types.MappingProxyType({"error_msg": "m", "data": ["w"]}))
    assert (error.error_msg, error.data) == ("m", ["w"])


CRASHERS = {
    "pickle restoring from a non-mapping": """
        import pickle
        from vantry.excode import PromptBanError, _restore
        class Crafted:
            def __reduce__(self):
                return (_restore, (PromptBanError, 5))
        try:
            pickle.loads(pickle.dumps(Crafted()))
        except TypeError as err:
            assert "argument after ** must be a mapping, not int" in str(err), err
            print("TypeError")
    """,
    "weakref outliving the module": """
        import gc, sys, weakref
        from vantry.wordsift import PromptBanChecker
        checker = PromptBanChecker(builtin_words=["pear"] + [f"w{i}" for i in range(60)], use_default=False)
        refs = weakref.getweakrefs(checker)
        for name in [n for n in sys.modules if n.startswith("vantry")]:
            del sys.modules[name]
        del PromptBanChecker
        gc.collect()
        assert checker.check("plum") == "plum"
        del checker
        gc.collect()
        print("ok")
    """,
    "nested tuple as ConnectionError": """
        import requests
        from vantry.comfyui.revivo import ComfyUIManager
        nested = ConnectionError
        for _ in range(200000):
            nested = (nested,)
        requests.exceptions.ConnectionError = nested
        try:
            ComfyUIManager("http://127.0.0.1:9", timeout=1).trigger_reboot()
        except TypeError as err:
            print("TypeError", err)
    """,
    "logger rewriting the manager": """
        import requests
        from vantry.comfyui.revivo import ComfyUIManager
        class Meddler:
            def debug(self, msg, *args):
                manager.flag, manager.reboot_api = object(), 12
                del manager.max_wait
            error = debug
        manager = ComfyUIManager("http://127.0.0.1:9", timeout=1, max_wait_seconds=0, logger=Meddler())
        for call in (manager.trigger_reboot, manager.run_reboot_and_wait):
            try:
                call()
            except (AttributeError, TypeError) as err:
                print(type(err).__name__)
    """,
    "number hooks clearing the ratio map": """
        import io
        from PIL import Image
        from vantry.aspecta import Aspecta
        class Clearing(float):
            def __rsub__(self, other):
                aspecta.std_ratio_map.clear()
                return float(other) - float(self)
        aspecta = Aspecta(proportion="1:1")
        aspecta.std_ratio_map = {f"{i}:1": Clearing(i) for i in range(1, 50)}
        buf = io.BytesIO()
        Image.new("RGB", (30, 30)).save(buf, format="PNG")
        try:
            aspecta.adjust_size(buf.getvalue())
        except RuntimeError as err:
            print("RuntimeError", err)
    """,
}


@pytest.mark.parametrize("name", CRASHERS)
def test_hostile_callbacks_do_not_crash(name):
    run_isolated(CRASHERS[name])


# ---- re-import ---------------------------------------------------------------------------

# Each call on an object made before every vantry module was dropped from
# sys.modules and imported anew; the old module object is gone by then
# unless its classes keep it.
OLD_MODULE_CALLS = {
    "check a banned prompt": "old['checker'].check('a pear')",
    "calc_size": "old['Gridlum'].calc_size('16:9', '1k')",
    "PreforaImageScale.start": "old['scale'].start()",
    "PromptBanError()": "old['PromptBanError'](error_msg='m', data=['w'])",
    "Aspecta.adjust_size": "old['aspecta'].adjust_size(small_png())",
    "ImageSimplora": "old['simplora'].get_raw_simple_ratio(small_png())",
    "ComfyUIManager()": "old['Manager']('http://127.0.0.1:9', timeout=1)",
}


@pytest.mark.parametrize("name", OLD_MODULE_CALLS)
def test_objects_outlive_a_reimport(name):
    out = run_isolated(
        """
        import gc, io, sys
        from PIL import Image
        from vantry.aspecta import Aspecta
        from vantry.comfyui.revivo import ComfyUIManager
        from vantry.excode import PromptBanError
        from vantry.gridlum import GridlumSizeCalculator
        from vantry.prefora import PreforaImageScale
        from vantry.simplora import ImageSimplora
        from vantry.wordsift import PromptBanChecker

        def small_png():
            buf = io.BytesIO()
            Image.new("RGB", (30, 20)).save(buf, format="PNG")
            return buf.getvalue()

        old = {
            "checker": PromptBanChecker(builtin_words=["pear"], use_default=False),
            "Gridlum": GridlumSizeCalculator, "scale": PreforaImageScale(Image.new("RGB", (640, 480))),
            "PromptBanError": PromptBanError, "aspecta": Aspecta(), "simplora": ImageSimplora(),
            "Manager": ComfyUIManager,
        }
        del Aspecta, ComfyUIManager, PromptBanError, GridlumSizeCalculator, PreforaImageScale
        del ImageSimplora, PromptBanChecker
        for name in [n for n in sys.modules if n.startswith("vantry")]:
            del sys.modules[name]
        import vantry.aspecta, vantry.comfyui.revivo, vantry.excode, vantry.gridlum, vantry.prefora
        import vantry.simplora, vantry.wordsift
        gc.collect()
        try:
            print(type(%s).__name__)
        except Exception as err:
            if type(err).__name__ != "PromptBanError":
                raise
            print("PromptBanError")
        """
        % OLD_MODULE_CALLS[name]
    )
    assert out.strip() in {"PromptBanError", "dict", "Image", "bytes", "str", "ComfyUIManager"}


# ---- host containers changed while they are scanned ----------------------------------------


def test_ratio_map_growing_while_scanned():
    out = run_isolated(
        """
        from vantry.aspecta import Aspecta
        class Growing(float):
            def __rsub__(self, other):
                aspecta._std_ratio_map[object()] = Growing(1.0)
                return float(other) - float(self)
        aspecta = Aspecta()
        aspecta._std_ratio_map = {"1:1": Growing(1.0)}
        try:
            aspecta._get_closest_standard_ratio(3, 2)
        except RuntimeError as err:
            print(err)
        """,
        timeout=30,
    )
    assert out.strip() == "dictionary changed size during iteration"


# ---- interpreter exit while daemon threads run without the GIL --------------------------

GIL_FREE_CALLS = {
    "check a long prompt": (
        "from vantry.wordsift import PromptBanChecker\n"
        "checker = PromptBanChecker(builtin_words=[f'w{i}x' for i in range(60)], use_default=False)\n"
        "prompt = 'y' * 300000\n"
        "work = lambda: checker.check(prompt)\n"
    ),
    "_xor of a large buffer": (
        "from vantry.wordsift import _xor\n"
        "data, key = bytes(4 << 20), b'k' * 7\n"
        "work = lambda: _xor(data, key)\n"
    ),
    # Pillow decodes, resizes and encodes without the GIL: the thread is ended
    # in host code, and the unwind passes through the frames of the method.
    "adjust_size (host code without the GIL)": (
        "import io\n"
        "from PIL import Image\n"
        "from vantry.aspecta import Aspecta\n"
        "buf = io.BytesIO()\n"
        "Image.new('RGB', (1500, 1000), (1, 2, 3)).save(buf, format='PNG')\n"
        "aspecta, image = Aspecta(need_adjust='resize'), buf.getvalue()\n"
        "work = lambda: aspecta.adjust_size(image)\n"
    ),
}


@pytest.mark.parametrize("name", GIL_FREE_CALLS)
def test_exit_while_daemon_threads_run_without_the_gil(name):
    code = GIL_FREE_CALLS[name] + textwrap.dedent(
        """
        import threading, time
        def loop():
            while True:
                work()
        for _ in range(4):
            threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.2)
        """
    )
    runs = [subprocess.Popen([sys.executable, "-c", code], stderr=subprocess.PIPE) for _ in range(12)]
    for run in runs:
        _, err = run.communicate(timeout=60)
        assert run.returncode == 0, err.decode(errors="replace")[-2000:]
