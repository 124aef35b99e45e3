"""Eight threads screen prompts and normalise images while another thread
reloads the lexicon, switching it between a small one (the pattern engine)
and a large one (the automaton), for a bounded number of rounds.

No thread may crash or see an error; a word that is in both lexicons is
found by every check, whichever engine is in place at that moment; a clean
prompt always comes back as itself; and the allocated memory does not grow
from round to round.
"""

import gc
import io
import subprocess
import sys
import threading

import pytest
from PIL import Image

from vantry import wordsift
from vantry.aspecta import Aspecta
from vantry.gridlum import GridlumSizeCalculator
from vantry.prefora import PreforaImageScale
from vantry.resize import image_resize
from vantry.simplora import ImageSimplora
from vantry.wordsift import PromptBanChecker, PromptBanError

WORKERS = 8
ROUNDS = 3
CHECKS_PER_ROUND = 100

COMMON = ["sharedword", "共有词", "BothCase"]
SMALL = COMMON + ["onlysmall", "小词"]
LARGE = COMMON + [f"onlylarge{i:03d}" for i in range(80)]
HIT_PROMPTS = [f"a prompt with {w.upper()} inside" for w in COMMON] + ["共有词" * 3, "x" * 70000 + "sharedword"]
CLEAN_PROMPTS = ["a quiet landscape", "山水画", "x" * 70000, "onlylarg", ""]


def png(size):
    buf = io.BytesIO()
    Image.new("RGB", size, (40, 80, 120)).save(buf, format="PNG")
    return buf.getvalue()


IMAGE = png((48, 64))
DECODED = Image.new("RGBA", (64, 36), (1, 2, 3, 255))


def screen(checker, i):
    text = HIT_PROMPTS[i % len(HIT_PROMPTS)]
    try:
        checker.check(text)
    except PromptBanError as err:
        found = {w.lower() for w in err.data}
        assert found & {w.lower() for w in COMMON}, (text[:40], err.data)
    else:
        raise AssertionError(f"lost hit in {text[:40]!r}")
    clean = CLEAN_PROMPTS[i % len(CLEAN_PROMPTS)]
    assert checker.check(clean) is clean
    if i % 4 == 0:  # many at once, scanned by threads of their own while the engine changes
        assert checker.check_many([text, clean, *CLEAN_PROMPTS], threads=2) == [True] + [False] * 6


def normalise(i):
    out = Aspecta().adjust_size(IMAGE)
    assert Image.open(io.BytesIO(out)).size == (52, 64)
    assert image_resize(DECODED, 32, 32).size == (32, 32)
    assert PreforaImageScale(DECODED).start().size == (1392, 752)
    assert ImageSimplora().get_raw_simple_ratio(IMAGE) == "3:4"
    assert GridlumSizeCalculator.calc_size("16:9", "2k")["size"] == "3424x1936"


def run_round(checker, lexicons):
    errors = []
    stop = threading.Event()

    def worker(seed):
        try:
            for i in range(seed, seed + CHECKS_PER_ROUND):
                screen(checker, i)
                if i % 10 == 0:
                    normalise(i)
        except BaseException as err:  # noqa: BLE001 - reported by the main thread
            errors.append(err)

    def reloader():
        try:
            n = 0
            while not stop.is_set():
                checker.builtin_words = lexicons[n % 2]
                checker.load_banned_words()
                n += 1
            reloads.append(n)
        except BaseException as err:  # noqa: BLE001
            errors.append(err)

    reloads = []
    threads = [threading.Thread(target=worker, args=(k * 1000,)) for k in range(WORKERS)]
    loader = threading.Thread(target=reloader)
    loader.start()
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    stop.set()
    loader.join(timeout=120)
    assert not any(t.is_alive() for t in threads + [loader]), "a thread is stuck"
    if errors:
        raise errors[0]
    return reloads[0]


@pytest.mark.skipif(not wordsift._HAS_AC, reason="the large lexicon needs pyahocorasick for its automaton")
def test_checks_and_images_while_the_lexicon_reloads():
    checker = PromptBanChecker(builtin_words=list(SMALL), use_default=False)
    lexicons = [list(SMALL), list(LARGE)]
    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads often, so the reloads land between the steps of a check
    try:
        run_round(checker, lexicons)  # warm-up: caches, interned names, thread states
        gc.collect()
        blocks = [sys.getallocatedblocks()]
        reloads = 0
        for _ in range(ROUNDS):
            reloads += run_round(checker, lexicons)
            gc.collect()
            blocks.append(sys.getallocatedblocks())
    finally:
        sys.setswitchinterval(switch)
    assert reloads >= ROUNDS * 2, f"the lexicon was reloaded only {reloads} times"
    # One object left behind per check would grow every round by thousands of blocks.
    growth = min(b - a for a, b in zip(blocks, blocks[1:]))
    assert growth < WORKERS * CHECKS_PER_ROUND // 4, blocks


# Long prompts are scanned without the GIL while other threads, the GIL held,
# fill the case tables of code-point blocks that the scans read; run in a
# fresh interpreter, so that no block is filled yet.
FILL_WHILE_SCANNING = """
import random, threading
from vantry.wordsift import PromptBanChecker

checker = PromptBanChecker(builtin_words=[f"Word{i}" for i in range(60)], ignore_case=True, use_default=False)
blocks = list(range(0x04, 0x30))

def screen(seed):
    order = random.Random(seed).sample(blocks, len(blocks))
    for first in order:
        chars = "".join(chr(b * 256 + k) for b in (first, first + 1) for k in range(0, 256, 3))
        prompt = chars * (70000 // len(chars) + 1)
        if seed % 2:
            assert checker.check_many([prompt, prompt[:40000] + "x"], threads=2) == [False, False]
        else:
            assert checker.check(prompt) == prompt

threads = [threading.Thread(target=screen, args=(seed,)) for seed in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print("ok")
"""


def test_case_tables_filled_while_other_threads_scan():
    run = subprocess.run([sys.executable, "-c", FILL_WHILE_SCANNING], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0 and run.stdout == "ok\n", run.stderr[-2000:]
