"""Call every vantry entry point a few times, with good and bad input.

A short script for memory checkers (valgrind memcheck runs it in CI): it
touches every C++ function of the package, success and error paths, and
checks each outcome so that a wrong result fails it too. Exit status 0 means
every call behaved.
"""

import http.server
import io
import os
import pickle
import sys
import tempfile
import threading

from PIL import Image

from vantry import _lexivault, excode, wordsift
from vantry.aspecta import Aspecta
from vantry.comfyui.revivo import ComfyUIManager
from vantry.gridlum import GridlumSizeCalculator as Calc
from vantry.prefora import PreforaImageScale
from vantry.resize import image_resize
from vantry.simplora import ImageSimplora
from vantry.wordsift import PromptBanChecker, PromptBanError

calls = 0


def encoded(size, mode="RGB", fmt="PNG"):
    buf = io.BytesIO()
    Image.new(mode, size, "red" if mode in ("RGB", "RGBA") else 1).save(buf, format=fmt)
    return buf.getvalue()


def expect(exc_type, fn, *args, **kwargs):
    global calls
    calls += 1
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{fn!r}{args} did not raise {exc_type.__name__}")


def ok(value, wanted=True):
    global calls
    calls += 1
    assert value == wanted if wanted is not True else value, (value, wanted)


PNG = encoded((600, 800))
JPEG = encoded((1920, 1080), fmt="JPEG")
GARBAGE = b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 4


def exercise_aspecta():
    a = Aspecta()
    ok(a.proportion is None and a._std_ratio_map["16:9"] == 16 / 9)
    ok(Aspecta._parse_ratio(" 16:9px "), (16, 9))
    ok(Aspecta._parse_ratio("\u3000１６:９\u3000"), (16, 9))
    expect(ValueError, Aspecta._parse_ratio, "a16:9")
    expect(ValueError, Aspecta._parse_ratio, "\ud800:1")
    expect(TypeError, Aspecta._parse_ratio, b"16:9")
    ok(a._get_closest_standard_ratio(1920, 1080.9), "16:9")
    expect(ZeroDivisionError, a._get_closest_standard_ratio, 1, 0)
    expect(TypeError, a._get_closest_standard_ratio, "1", 1)
    out, ratio = a.adjust_size(PNG, True)
    ok(ratio == "3:4" and Image.open(io.BytesIO(out)).size == (660, 800))
    ok(Image.open(io.BytesIO(Aspecta(need_adjust="resize").adjust_size(JPEG, expand_percent=5))).size, (1920, 1134))
    ok(Aspecta("3:4").adjust_size(JPEG) is JPEG)
    expect(ValueError, Aspecta(need_adjust="stretch").adjust_size, PNG)
    expect(ValueError, a.adjust_size, PNG, expand_percent=-100)
    expect(OverflowError, a.adjust_size, PNG, expand_percent=float("inf"))
    expect(Exception, a.adjust_size, GARBAGE)
    expect(TypeError, a.adjust_size, bytearray(PNG))
    soft = encoded((30, 40), "RGBA")
    ok(Image.open(io.BytesIO(a.adjust_size(soft, expand_percent=-50))).size, (15, 40))
    ok(Image.open(io.BytesIO(a.adjust_size(encoded((30, 40), "I;16")))).getpixel((16, 20)), (0, 0, 0, 255))
    out_of_range = io.BytesIO()
    Image.new("F", (30, 40), 2.0).save(out_of_range, format="TIFF")
    expect(ValueError, a.adjust_size, out_of_range.getvalue())
    expect(TypeError, Aspecta, 3)
    expect(TypeError, Aspecta, None, None)


def exercise_resize():
    img = Image.new("RGBA", (100, 31), (1, 2, 3, 4))
    out = image_resize(img, 50, 50, (255, 255, 255))
    ok(out.size == (50, 50) and out.mode == "RGB" and out.getpixel((0, 0)) == (255, 255, 255))
    ok(image_resize(Image.new("L", (3, 7)), 10.9, 10).size, (10, 10))
    expect(ZeroDivisionError, image_resize, Image.new("RGB", (0, 5)), 10, 10)
    expect(ValueError, image_resize, Image.new("RGB", (10000, 1)), 100, 100)
    expect(ValueError, image_resize, img, -1, 10)
    expect(TypeError, image_resize, img, "10", 10)
    expect(AttributeError, image_resize, object(), 10, 10)
    ok(image_resize(Image.new("I;16", (8, 8), 40000), 4, 4).getpixel((0, 0)), (156, 156, 156))
    expect(ValueError, image_resize, Image.new("I", (8, 8), 70000), 4, 4)


def exercise_simplora():
    s = ImageSimplora()
    ok(s.get_raw_simple_ratio(encoded((1366, 768))), "683:384")
    ok(s.get_approx_simple_ratio(encoded((1366, 768))), "9:5")
    ok(ImageSimplora(16.7).get_approx_simple_ratio(JPEG), "16:9")
    s.approx_search_range = 0
    ok(s.get_approx_simple_ratio(JPEG), "1920:1080")
    ok(ImageSimplora._gcd(12, 18), 6)
    ok(ImageSimplora._gcd(2**70, 2**65 * 3), 2**65)
    expect(Exception, s.get_raw_simple_ratio, GARBAGE)
    expect(TypeError, s.get_approx_simple_ratio, "bytes")
    expect(TypeError, ImageSimplora, "10")


def exercise_gridlum():
    ok(Calc.round_to_multiple(940.5), 944)
    ok(Calc.floor_to_multiple(1000, 10), 1000)
    ok(Calc.round_to_multiple(2**80 + 1), 2**80)  # true division first, as the host does
    expect(ZeroDivisionError, Calc.round_to_multiple, 5, 0)
    ok(Calc.is_valid_image_size(3840, 2160))
    ok(Calc.is_valid_image_size(1000, 1000), False)
    expect(ZeroDivisionError, Calc.is_valid_image_size, 0, 16)
    ok(Calc.calc_size("16:9", "2k")["size"], "3424x1936")
    ok(Calc.calc_size(" 21 : 9 ", "4K")["size"], "3840x1648")
    ok(Calc.calc_size("10:1")["size"], "3840x1280")
    expect(excode.ServiceError, Calc.calc_size, "10:1", strict=True)
    expect(ValueError, Calc.calc_size, "1:2:3")
    expect(ZeroDivisionError, Calc.calc_size, "16:0")
    expect(TypeError, Calc.calc_size, None)

    class Tiny(Calc):
        MULTIPLE = 7
        MAX_EDGE = 100.5
        MIN_PIXELS = 10

    ok(Tiny.calc_size("2:1")["valid"] in (True, False))


def exercise_prefora():
    img = Image.new("RGB", (1920, 1080))
    ok(PreforaImageScale(img).start().size, (1392, 752))
    expect(ZeroDivisionError, PreforaImageScale(Image.new("RGB", (5, 0))).start)
    p = PreforaImageScale(img)
    p.PREFERED_PREFORA_RESOLUTIONS = []
    expect(ValueError, p.start)
    p.PREFERED_PREFORA_RESOLUTIONS = [(1, 2, 3)]
    expect(ValueError, p.start)
    expect(AttributeError, PreforaImageScale(object()).start)
    expect(TypeError, PreforaImageScale)


def exercise_wordsift(tmp):
    data, key = b"secret data" * 10, b"k3y"
    ok(wordsift._xor(wordsift._xor(data, key), key), data)
    ok(wordsift._xor(b"x" * 70000, b"\x01")[:1], b"y")
    expect(ZeroDivisionError, wordsift._xor, b"x", b"")
    ok(isinstance(wordsift._load_default_words(), list))

    default = PromptBanChecker()
    word = default.banned_words[0]
    ok(default.check("clean text 干净") == "clean text 干净")
    expect(PromptBanError, default.check, "xx" + word.upper() + "xx")
    ok(word.lower() in [w.lower() for w in default.find_matched_words(word)])

    small = PromptBanChecker(builtin_words=["ab", "abc", "a.b"], use_default=False, exclude_words=["AB"])
    ok(small.banned_words, ["abc", "a.b"])
    ok(small._has_banned_word("xxABCxx"))
    ok(sorted(small.find_matched_words("a.b abc axb")), ["a.b", "abc"])
    expect(TypeError, small.check, b"abc")
    expect(AttributeError, PromptBanChecker, builtin_words=[1], use_default=False)

    txt = os.path.join(tmp, "words.txt")
    with open(txt, "w", encoding="utf-8") as f:
        f.write("\ufeffone\r\n\r\n two \n")
    ok(PromptBanChecker._load_from_file(txt), ["one", "", "two"])
    pkl = os.path.join(tmp, "words.pkl")
    PromptBanChecker.create_pickle_file(["  a ", "", "b", "a"], pkl)
    ok(PromptBanChecker._load_from_file(pkl), ["a", "b", "a"])
    checker = PromptBanChecker(ban_word_file=pkl, use_default=False)
    checker.builtin_words.append("zz")
    checker.load_banned_words()
    ok(checker.banned_words, ["zz", "a", "b"])
    with open(pkl, "wb") as f:
        pickle.dump({"a": 1}, f)
    expect(ValueError, PromptBanChecker._load_from_file, pkl)
    with open(pkl, "wb") as f:
        pickle.dump([os.getcwd], f)
    expect(pickle.UnpicklingError, PromptBanChecker._load_from_file, pkl)
    bad = os.path.join(tmp, "bad.txt")
    with open(bad, "wb") as f:
        f.write(b"\xff\xfe\x00bad")
    expect(UnicodeDecodeError, PromptBanChecker._load_from_file, bad)
    expect(FileNotFoundError, PromptBanChecker, ban_word_file=os.path.join(tmp, "missing.txt"))
    expect(TypeError, PromptBanChecker.create_pickle_file, ("a",), pkl)


def exercise_excode():
    err = excode.ServiceError("msg", aspect_ratio="10:1")
    ok(err.aspect_ratio, "10:1")
    ban = PromptBanError(error_msg="违禁词: x", data=["x"])
    again = pickle.loads(pickle.dumps(ban))
    ok(again.error_msg == ban.error_msg and again.data == ["x"])
    ok(len(_lexivault._EK), 32)


class Stats(http.server.BaseHTTPRequestHandler):
    """Ready at once; its restart route is the newer manager's GET one, so a
    restart tries all three routes. Any other path forbids the restart."""

    def do_GET(self):
        paths = ("/api/system_stats", "/api/v2/manager/reboot")
        self.answer(200 if self.path in paths else 404 if self.path == "/api/manager/reboot" else 403)

    def do_POST(self):
        self.answer(405)

    def answer(self, status):
        self.send_response(status)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


class QuietLogger:
    def __init__(self):
        self.records = []

    def debug(self, msg, *args):
        self.records.append(msg % args)

    error = debug


def exercise_revivo():
    server = http.server.HTTPServer(("127.0.0.1", 0), Stats)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        log = QuietLogger()
        url = f"http://127.0.0.1:{server.server_port}/"
        ok(ComfyUIManager(url, 5, 10, 0.01, log).run_reboot_and_wait())
        ok(len(log.records) >= 3)
        refused = ComfyUIManager(url, 5, 10, 0.01, log)
        refused.reboot_api = url + "forbidden"
        ok(refused.run_reboot_and_wait(), False)
    finally:
        server.shutdown()
        server.server_close()
    closed = ComfyUIManager(f"http://127.0.0.1:{server.server_port}", 1, 0, 0, QuietLogger())
    ok(closed.trigger_reboot(), None)
    ok(closed.wait_service_ready(), False)
    expect(TypeError, ComfyUIManager, None)
    expect(TypeError, ComfyUIManager, "http://h", "5")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        for _ in range(2):  # the second round runs with every cache warm
            exercise_aspecta()
            exercise_resize()
            exercise_simplora()
            exercise_gridlum()
            exercise_prefora()
            exercise_wordsift(tmp)
            exercise_excode()
        exercise_revivo()
    print(f"exercise_all: {calls} calls behaved")
    return 0


if __name__ == "__main__":
    sys.exit(main())
