import hashlib
import http.server
import io
import json
import os
import pathlib
import re
import shlex
import signal
import struct
import subprocess
import sys
import threading
import time
import zlib

import pytest
from PIL import Image, ImageOps

from vantry.cli import comfyui as comfyui_cli
from vantry.cli import screen as screen_cli
from vantry.cli import main

COMMANDS = [["screen"], ["size"], ["ratio"], ["normalise"], ["letterbox"], ["scale"], ["comfyui"], ["comfyui", "restart"]]


def write_image(path, size, fmt="PNG", mode="RGB"):
    Image.new(mode, size, 40000 if mode == "I" else (10, 20, 30)).save(path, format=fmt)
    return str(path)


@pytest.mark.parametrize("cmd", COMMANDS)
def test_every_subcommand_has_help(cmd, capsys):
    with pytest.raises(SystemExit) as exit_info:
        main([*cmd, "--help"])
    assert exit_info.value.code == 0
    out = capsys.readouterr().out
    assert "usage: vantry " + " ".join(cmd) in out
    assert out.count("\n  vantry ") >= 2 and "\nexit codes:\n  0 " in out


@pytest.mark.parametrize(
    "argv, code, out",
    [
        (["screen", "a lighthouse at dawn"], 0, "ok\n"),
        (["screen", "a bag of cocaine"], 1, "banned: cocaine\n"),
        (["screen", "--exclude", "cocaine", "a bag of cocaine"], 0, "ok\n"),
        (["screen", "--no-builtin", "--add", "Dawn", "a lighthouse at dawn"], 1, "banned: dawn\n"),
        (["screen", "--no-builtin", "--add", "Dawn", "--case-sensitive", "at dawn"], 0, "ok\n"),
        (["screen", "c.o.c.a.i.n.e", "ｃｏｃａｉｎｅ", "一只大麻雀"], 1, "ok\nok\nbanned: 大麻\n"),
        (["screen", "--normalize", "c.o.c.a.i.n.e", "ｃｏｃａｉｎｅ", "一只大麻雀", "裸 體"], 1,
         "banned: cocaine\nbanned: cocaine\nok\nbanned: 裸体\n"),
        (["screen", "--normalize", "the pen is mightier", "who re-entered"], 0, "ok\nok\n"),
        (["screen", "--allow", "cocaine powder", "--allow", "x", "cocaine powder", "cocaine"], 1, "ok\nbanned: cocaine\n"),
        (["screen", "--normalize", "--allow", "sparrow", "a bag of cocaine"], 1, "banned: cocaine\n"),
        (["size", "16:9"], 0, "3424x1936 (6628864 pixels, 16:9 at 2k)\n"),
        (["size", "10:1"], 0, "3840x1280 (4915200 pixels, 10:1 clamped to 3:1 at 2k)\n"),
        (["size", "2:7", "--resolution", "1K"], 0, "736x2176 (1601536 pixels, 2:7 clamped to 1:3 at 1k)\n"),
    ],
)
def test_screen_and_size(argv, code, out, capsys):
    assert main(argv) == code
    assert capsys.readouterr().out == out


@pytest.fixture
def bad_files(tmp_path):
    """Inputs that the bad-input rows name in capitals."""
    (tmp_path / "gbk.txt").write_bytes("裸体\n".encode("gbk"))
    (tmp_path / "words.pkl").write_text("a word list, not a pickle\n")
    return {"IMG": write_image(tmp_path / "a.png", (64, 48)), "THIN": write_image(tmp_path / "thin.png", (2000, 1)),
            "GBK": str(tmp_path / "gbk.txt"), "TXTPKL": str(tmp_path / "words.pkl"), "OUT": str(tmp_path / "o")}


@pytest.mark.parametrize(
    "argv, code, message",
    [
        ([], 2, "required: COMMAND"),
        (["nosuch"], 2, "invalid choice"),
        (["size"], 2, "required: RATIO"),
        (["normalise", "IMG"], 2, "required: -o"),
        (["letterbox", "IMG", "0", "5", "-o", "OUT"], 2, "expected a positive integer"),
        (["letterbox", "IMG", "5", "5", "-o", "OUT", "--bg", "1,2"], 2, "expected R,G,B"),
        (["normalise", "IMG", "-o", "OUT", "--mode", "stretch"], 2, "invalid choice"),
        (["ratio", "IMG", "--range", "0"], 2, "expected a positive integer"),
        (["ratio", "IMG", "-j", "0"], 2, "expected a positive integer"),
        (["scale", "IMG", "-o", "OUT", "--compress-level", "10"], 2, "level 0 to 9"),
        (["scale", "IMG", "-o", "OUT", "-j", "2", "--dask", "tcp://127.0.0.1:1"], 2, "-j/--jobs is for local runs"),
        (["normalise", "IMG", "-o", "OUT", "--expand", "-50"], 2, "expected a number 0 or above"),
        (["normalise", "IMG", "-o", "OUT", "--proportion", "abc"], 2, "比例格式错误 abc，示例：3:4 (bad ratio format"),
        (["normalise", "IMG", "-o", "OUT", "--proportion", "16;9"], 2, "ten standard ratios are 1:1, 2:3, 3:2"),
        (["normalise", "IMG", "-o", "OUT", "--proportion", "32:18"], 2, "not a standard ratio (write it as 16:9)"),
        (["letterbox", "IMG", "100000", "100000", "-o", "OUT"], 2, "beyond Pillow's limit of 89478485"),
        (["scale", "IMG", "-o", "OUT", "--quality", "90"], 2, "--quality is for --format jpeg or webp"),
        (["scale", "IMG", "-o", "OUT", "--format", "jpeg", "--compress-level", "1"], 2, "--compress-level is for PNG"),
        (["scale", "IMG", "-o", "OUT", "--format", "webp", "--quality", "0"], 2, "expected a quality 1 to 100"),
        (["scale", "IMG", "-o", "OUT", "--format", "gif"], 2, "invalid choice: 'gif'"),
        (["size", "10:1", "--strict"], 2, "相差太大 (invalid aspect ratio: the sides differ too much)"),
        (["size", "16x9"], 2, "expected W:H"),
        (["size", "16:0"], 2, "expected W:H"),
        (["size", "16:9", "--resolution", "8k"], 2, "expected one of 1k, 2k, 4k"),
        (["screen", "--words-file", "/no/such", "x"], 2, "违禁词文件不存在: /no/such (the banned-word file does not exist)"),
        (["screen", "--words-file", "GBK", "x"], 2, "is not UTF-8 text (byte 0xc2 at offset 0); save it as UTF-8"),
        (["screen", "--words-file", "TXTPKL", "x"], 2, "is not a pickled word list (unpickling stack underflow)"),
        (["screen", "--allow-file", "/no/such", "x"], 2, "cannot read the allow list /no/such"),
        (["screen", "--allow-file", "GBK", "x"], 2, "gbk.txt is not UTF-8 text (byte 0xc2 at offset 0)"),
        (["comfyui", "restart", "--url", "not a url"], 2, "'not a url' is not an http(s) URL"),
        (["comfyui", "restart", "--url", "http://127.0.0.1:port"], 2, "is not an http(s) URL"),
        (["comfyui", "restart", "--url", "http://admin:pw@127.0.0.1:port"], 2, "'http://***@127.0.0.1:port' is not"),
        (["comfyui", "restart", "--url", "http://127.0.0.1:8188/#main"], 2, "has a query or a fragment"),
        (["comfyui", "restart", "--url", "http://127.0.0.1:8188/?token=x"], 2, "has a query or a fragment"),
        # Refused per file, in words: the batch goes on.
        (["letterbox", "THIN", "100", "100", "-o", "OUT"], 1, "too thin for a 100x100 box"),
        (["normalise", "IMG", "-o", "OUT", "--expand", "1e9"], 1, "more pixels than Pillow opens"),
    ],
)
def test_bad_input_is_one_line_before_any_work(argv, code, message, bad_files, capsys):
    started = time.monotonic()
    try:
        assert main([bad_files.get(a, a) for a in argv]) == code
    except SystemExit as exit_info:  # refused by the parser
        assert exit_info.code == code
    err = capsys.readouterr().err
    lines = [line for line in err.splitlines() if not line.endswith(" failed")]  # a batch adds its summary
    assert len(lines) == 1 and message in lines[0], err
    assert time.monotonic() - started < 10
    if code == 2:  # nothing was done: not even the output directory made
        assert not os.path.exists(bad_files["OUT"])


def test_json_outputs(tmp_path, capsys):
    assert main(["size", "21:9", "--resolution", "4K", "--json"]) == 0
    assert json.loads(capsys.readouterr().out) == {
        "width": 3840, "height": 1648, "size": "3840x1648", "pixels": 6328320,
        "aspect_ratio": "21:9", "resolution": "4k", "valid": True}
    assert main(["screen", "--json", "clean", "some heroin use"]) == 1
    lines = [json.loads(l) for l in capsys.readouterr().out.splitlines()]
    assert [l["banned"] for l in lines] == [False, True] and lines[1]["words"] == ["heroin use"]
    img = write_image(tmp_path / "a.png", (1366, 768))
    assert main(["ratio", "--json", "--range", "16", img]) == 0
    assert json.loads(capsys.readouterr().out) == {"file": img, "exact": "683:384", "approx": "16:9"}


def read_as(monkeypatch, reader):
    """Standard input read as a regular file is, or as a pipe is (a line at a time)."""
    if reader == "pipe":
        monkeypatch.setattr(screen_cli, "_waits_for_writer", lambda stream: lambda: True)


@pytest.mark.parametrize("reader", ["file", "pipe"])
@pytest.mark.parametrize("block_lines, chunk", [(1, 1), (2, 7), (8192, 1 << 20)])
def test_screen_answers_each_stdin_line(monkeypatch, capsys, block_lines, chunk, reader):
    monkeypatch.setattr(screen_cli, "BLOCK_LINES", block_lines)  # blocks of prompts end anywhere
    monkeypatch.setattr(screen_cli, "CHUNK_CHARS", chunk)  # and pieces of a file, inside lines and line ends
    read_as(monkeypatch, reader)
    monkeypatch.setattr(sys, "stdin", io.StringIO("clean\r\n\nfentanyl please\nok\rfentanyl\n\nclean"))
    assert main(["screen", "--json"]) == 1
    lines = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert [(l["prompt"], l["words"]) for l in lines] == [
        ("clean", []), ("", []), ("fentanyl please", ["fentanyl"]), ("ok\rfentanyl", ["fentanyl"]), ("", []),
        ("clean", [])]


def test_screen_answers_a_piped_line_before_the_next_comes():
    with subprocess.Popen([sys.executable, "-m", "vantry", "screen"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          text=True) as run:  # its pipes closed at the end
        timer = threading.Timer(60, run.kill)  # an answer held back until more input comes would hang here
        timer.start()
        try:
            answers = []
            for prompt in ["clean", "some cocaine", ""]:
                run.stdin.write(prompt + "\n")
                run.stdin.flush()
                answers.append(run.stdout.readline())
            run.stdin.close()
            assert (answers, run.wait(timeout=60)) == (["ok\n", "banned: cocaine\n", "ok\n"], 1)
        finally:
            timer.cancel()
            run.kill()


@pytest.mark.parametrize("reader", ["file", "pipe"])
@pytest.mark.parametrize("extra, code", [(0, 1), (1, 2)])
def test_screen_refuses_a_stdin_line_longer_than_a_prompt(monkeypatch, capsys, extra, code, reader):
    from vantry.cli.screen import MAX_PROMPT_CHARS

    read_as(monkeypatch, reader)

    # As from /dev/zero or a file without line ends: the lines before it are answered, then one error line.
    longest = "x" * (MAX_PROMPT_CHARS + extra - 7) + "cocaine"
    monkeypatch.setattr(sys, "stdin", io.StringIO(f"clean\r\n{longest}\r\n"))
    assert main(["screen"]) == code
    out, err = capsys.readouterr()
    assert out == ("ok\nbanned: cocaine\n" if extra == 0 else "ok\n")
    assert err == ("" if extra == 0 else f"vantry: error: line 2 of standard input is longer than {MAX_PROMPT_CHARS} "
                   "characters, the longest prompt screen reads; the lines before it are answered\n")


def test_batch_with_broken_file_skips_and_counts(tmp_path, capsys):
    good = write_image(tmp_path / "good.jpg", (600, 800), fmt="JPEG")
    broken = tmp_path / "broken.png"
    broken.write_bytes(b"not an image")
    out = tmp_path / "new" / "out"
    assert main(["normalise", good, str(broken), str(tmp_path / "missing.png"), "-o", str(out)]) == 1
    err = capsys.readouterr().err
    assert "broken.png: not an image file Pillow can read" in err
    assert "missing.png: No such file or directory" in err
    assert err.endswith("1 normalised, 2 failed\n") and "Traceback" not in err
    with Image.open(out / "good.png") as result:
        assert (result.format, result.size) == ("PNG", (660, 800))


@pytest.mark.parametrize(
    "argv, source, size",
    [
        (["letterbox", "IMG", "512", "512"], "JPEG", (512, 512)),
        (["scale", "IMG"], "JPEG", (1392, 752)),
        (["normalise", "IMG", "--mode", "resize", "--expand", "0"], "JPEG", (1920, 1080)),
        (["normalise", "IMG", "--proportion", "3:4"], "JPEG", (1920, 1080)),  # gated out, still PNG
        (["normalise", "IMG", "--compress-level", "1"], "JPEG", (1920, 1188)),
        # 32-bit integer pixels (of 16-bit values), which PNG cannot store, are converted first.
        (["scale", "IMG", "--compress-level", "0"], "TIFF", (1392, 752)),
        (["letterbox", "IMG", "64", "64"], "TIFF", (64, 64)),
    ],
)
def test_image_commands_write_png(tmp_path, argv, source, size, capsys):
    img = write_image(tmp_path / f"wide.{source.lower()}", (1920, 1080), fmt=source, mode="I" if source == "TIFF" else "RGB")
    assert main([img if a == "IMG" else a for a in argv] + ["-o", str(tmp_path / "o")]) == 0
    with Image.open(tmp_path / "o" / "wide.png") as result:
        assert (result.format, result.size) == ("PNG", size)


def command_on(command, path):
    """A subcommand's argv with the image file in place of IMAGE, or right after the subcommand's name."""
    argv = [str(path) if a == "IMAGE" else a for a in command]
    return argv if "IMAGE" in command else [argv[0], str(path), *argv[1:]]


def opaque_inputs(folder):
    """Ordinary opaque 8-bit files: RGB, grey, palette and all-opaque RGBA PNGs and an RGB JPEG."""
    folder.mkdir()
    ramp, disc = Image.linear_gradient("L"), Image.radial_gradient("L")
    rgb = Image.merge("RGB", [ramp.resize((97, 64)), disc.resize((97, 64)), ramp.rotate(90).resize((97, 64))])
    palette = Image.frombytes("P", (80, 80), bytes((x // 5 + y // 20) % 16 for y in range(80) for x in range(80)))
    palette.putpalette([channel for k in range(16) for channel in (k * 16, 255 - k * 9, (k * 77) % 256)])
    rgba = rgb.convert("RGBA").resize((64, 64))
    images = {"rgb.png": rgb, "l.png": ramp.resize((61, 90)), "p.png": palette, "rgba.png": rgba, "rgb.jpg": rgb}
    for name, img in images.items():
        img.save(folder / name, quality=90) if name.endswith(".jpg") else img.save(folder / name)
    return {name: folder / name for name in images}


OPAQUE_COMMANDS = {
    "normalise": ["normalise"], "normalise-resize": ["normalise", "--mode", "resize"],
    "normalise-level": ["normalise", "--compress-level", "1"], "normalise-gated": ["normalise", "--proportion", "9:16"],
    "letterbox": ["letterbox", "IMAGE", "120", "100"], "scale": ["scale"],
}
# The libraries the digests below were taken with: the file bytes depend on zlib's
# and libjpeg's versions, the decoded pixels of the PNG inputs on neither.
DIGESTS_TAKEN_WITH = ("13.0.0", "1.2.13", "3.2.0")
# (command, input): (digest of the file written, digest of its mode, size and pixels), as written before.
OPAQUE_DIGESTS = {
    ('normalise', 'rgb.png'): ('322fcd2b56c2be95', 'ce73d4d27b912bd1'),
    ('normalise', 'l.png'): ('23f19c9097a2a930', '0d2348482aad3353'),
    ('normalise', 'p.png'): ('35ec89dea8606eec', 'd85419f683fbcaf2'),
    ('normalise', 'rgba.png'): ('ea298b21618f4d98', '91921ff1b04cce7f'),
    ('normalise', 'rgb.jpg'): ('a61355c9c29caea1', '94413378bf0f66c5'),
    ('normalise-resize', 'rgb.png'): ('2621fe57137a97f3', 'fc9e4c70c81e4823'),
    ('normalise-resize', 'l.png'): ('f4f461377bb2ee66', '1ca96545aab6c346'),
    ('normalise-resize', 'p.png'): ('5b7898917ac4dabb', '95c30169a34ed183'),
    ('normalise-resize', 'rgba.png'): ('ec7bb20c5d9b16bc', '0670c1aaa8d30e5e'),
    ('normalise-resize', 'rgb.jpg'): ('5f64583f2443263f', '9caef24bf9d158c0'),
    ('normalise-level', 'rgb.png'): ('01d76d6f36ade22c', 'ce73d4d27b912bd1'),
    ('normalise-level', 'l.png'): ('f194cfbdc76b3e3a', '0d2348482aad3353'),
    ('normalise-level', 'p.png'): ('907566889d096d76', 'd85419f683fbcaf2'),
    ('normalise-level', 'rgba.png'): ('1c281e4eb95da5f9', '91921ff1b04cce7f'),
    ('normalise-level', 'rgb.jpg'): ('85ceb7623e649fd5', '94413378bf0f66c5'),
    ('normalise-gated', 'rgb.png'): ('e46ca29bf0610aec', 'cb433f81898628cd'),
    ('normalise-gated', 'l.png'): ('333502078d46a781', '1714c1cd8d1a1a06'),
    ('normalise-gated', 'p.png'): ('fee7b35aa14b3d02', 'e15382dbe3511dfd'),
    ('normalise-gated', 'rgba.png'): ('1ec258baffcfc436', '95ad89744289bae9'),
    ('normalise-gated', 'rgb.jpg'): ('d5ec78f6ad729aed', '62fdd624af15f312'),
    ('letterbox', 'rgb.png'): ('d78c566881d9f8f9', '5e241db2e49232e3'),
    ('letterbox', 'l.png'): ('6fb13b15f1755ceb', 'eb09aea045a02b92'),
    ('letterbox', 'p.png'): ('b3f631c7a0800609', '729f39c2077108d8'),
    ('letterbox', 'rgba.png'): ('2a326c5bf4fcefa6', '19f57730672774b5'),
    ('letterbox', 'rgb.jpg'): ('0e6241afab7cf23d', '64a31f4d033b4ea1'),
    ('scale', 'rgb.png'): ('94d2cbea45f26a64', '92cc881c8e6b7d0e'),
    ('scale', 'l.png'): ('9fb3ea43d597f09c', 'd84f9d54654f33c3'),
    ('scale', 'p.png'): ('d71369f9c2322a34', 'b0a7bbe164aa0dc9'),
    ('scale', 'rgba.png'): ('9ef147d2f22115b9', 'c6bf0a47e99c78a2'),
    ('scale', 'rgb.jpg'): ('e0da084d68a025ce', '7e72ca1dd80c1535'),
}


def _digests(data):
    with Image.open(io.BytesIO(data)) as img:
        pixels = f"{img.mode}{img.size}".encode() + img.tobytes()
    return hashlib.sha256(data).hexdigest()[:16], hashlib.sha256(pixels).hexdigest()[:16]


def opaque_outputs(command, folder, capsys, encoder):
    """{(command, input name): (digests, file size)} of one command over the opaque inputs."""
    outputs = {}
    for name, path in opaque_inputs(folder / encoder).items():
        argv = [*command_on(OPAQUE_COMMANDS[command], path), "-o", str(folder / "o"), "-j", "1", "--png-encoder", encoder]
        assert main(argv) == 0
        written = (folder / "o" / f"{path.stem}.png").read_bytes()
        outputs[command, name] = _digests(written), len(written)
        (folder / "o" / f"{path.stem}.png").unlink()
    capsys.readouterr()
    return outputs


@pytest.mark.parametrize("command", OPAQUE_COMMANDS)
def test_opaque_8_bit_images_give_the_bytes_they_always_gave(tmp_path, command, capsys):
    from PIL import features

    libraries = (Image.__version__, features.version("zlib"), features.version("libjpeg_turbo"))
    pillow = opaque_outputs(command, tmp_path, capsys, "pillow")
    for key, ((file_digest, pixel_digest), _) in pillow.items():
        if libraries == DIGESTS_TAKEN_WITH:
            assert (file_digest, pixel_digest) == OPAQUE_DIGESTS[key], key
        elif key[1].endswith(".png"):
            assert pixel_digest == OPAQUE_DIGESTS[key][1], key
    # The command's own writer: Pillow's pixels, in a file no larger.
    for key, ((_, pixel_digest), size) in opaque_outputs(command, tmp_path, capsys, "fast").items():
        assert pixel_digest == pillow[key][0][1] and size <= pillow[key][1], key


def mode_file(folder, mode):
    """A file of `mode` holding a vertical ramp of grey (0 at the top, full scale at the
    bottom), in a format that stores the mode; alpha modes are 200 opaque throughout."""
    ramp = Image.linear_gradient("L").resize((48, 32))
    full = {"I;16": 65535, "I;16B": 65535, "I": 65535, "F": 1.0, "I70000": 70000, "F1.5": 1.5}
    if mode in full:
        kind = mode.rstrip("0123456789.")
        deep = ramp.convert("F").point(lambda v: v * full[mode] / 255)
        img = deep if kind == "F" else deep.convert("I")
        img = img if kind in ("I", "F") else img.convert(mode)
    elif mode in ("LA", "RGBA"):
        img = ramp.convert(mode)
        img.putalpha(200)
    else:
        img = ramp.convert(mode)
    fmt = "PNG" if mode in ("1", "L", "LA", "P", "RGB", "RGBA", "I;16") else "TIFF"
    path = folder / f"{mode.replace(';', '')}.{fmt.lower()}"
    img.save(path, format=fmt)
    return path


def grey_content(img):
    """The middle of an output (inside the picture for every subcommand) as 8-bit grey."""
    if img.mode.startswith("I;16"):
        img = img.convert("I").point(lambda v: v / 257)
    box = (img.width // 4, img.height // 4, 3 * img.width // 4, 3 * img.height // 4)
    return img.convert("L").crop(box)


@pytest.mark.parametrize("mode", ["1", "L", "LA", "P", "RGB", "RGBA", "I;16", "I;16B", "I", "F", "CMYK"])
@pytest.mark.parametrize(
    "command",
    [["normalise"], ["normalise", "--format", "jpeg"], ["letterbox", "IMAGE", "64", "64"], ["scale"],
     ["scale", "--format", "webp"]],
)
def test_every_mode_keeps_its_content(tmp_path, mode, command, capsys):
    assert main([*command_on(command, mode_file(tmp_path, mode)), "-o", str(tmp_path / "o")]) == 0, \
        capsys.readouterr().err
    (written,) = (tmp_path / "o").iterdir()
    with Image.open(written) as out:
        content = grey_content(out)
        if command == ["scale"] and mode in ("I;16", "I;16B", "I"):
            assert out.mode == "I;16"  # 16 bits kept where the format holds them
    mean = sum(i * n for i, n in enumerate(content.histogram())) / (content.width * content.height)
    levels = sum(1 for n in content.histogram() if n)
    # Not clipped to white, not truncated to black, not flat: the middle of the ramp.
    assert 70 < mean < 185 and levels >= (2 if mode == "1" else 10), (mean, levels)


@pytest.mark.parametrize(
    "mode, message",
    [("I70000", r"cannot scale mode I to 16 bits: values \d+ to 6\d{4} lie outside the 16-bit"),
     ("F1.5", r"cannot scale mode F to 8 bits: values 0\.0\d* to 1\.4\d* lie outside 0 to 1")],
)
@pytest.mark.parametrize("command", [["normalise"], ["letterbox", "IMAGE", "64", "64"], ["scale"]])
def test_content_with_no_8_bit_reading_is_a_clear_per_file_error(tmp_path, mode, message, command, capsys):
    source = mode_file(tmp_path, mode)
    assert main([*command_on(command, source), "-o", str(tmp_path / "o")]) == 1
    err = capsys.readouterr().err.splitlines()
    if command != ["scale"]:  # the modules scale to 8 bits; scale keeps 16 where it can
        message = message.replace("to 16 bits", "to 8 bits")
    assert len(err) == 2 and re.match(f"vantry: {re.escape(str(source))}: {message}", err[0]), err
    assert err[1].endswith("1 failed")


def test_letterbox_background(tmp_path, capsys):
    img = write_image(tmp_path / "w.png", (100, 50))
    assert main(["letterbox", img, "100", "100", "--bg", "255,0,0", "-o", str(tmp_path / "o")]) == 0
    with Image.open(tmp_path / "o" / "w.png") as result:
        assert result.getpixel((0, 0)) == (255, 0, 0) and result.getpixel((50, 50)) == (10, 20, 30)


def test_transparent_logo_letterboxes_onto_the_background(tmp_path, capsys):
    logo = Image.new("RGBA", (40, 20), (0, 0, 0, 0))  # transparent black around an opaque red bar
    logo.paste((255, 0, 0, 255), (10, 5, 30, 15))
    logo.putpixel((5, 10), (0, 0, 255, 128))  # a soft edge: half blue
    logo.save(tmp_path / "logo.png")
    white = ["--bg", "255,255,255"]
    assert main(["letterbox", str(tmp_path / "logo.png"), "40", "40", *white, "-o", str(tmp_path / "o")]) == 0
    with Image.open(tmp_path / "o" / "logo.png") as out:
        # Bars and the logo's transparent parts alike are the background: no black box.
        assert out.getpixel((0, 0)) == out.getpixel((1, 11)) == (255, 255, 255)
        assert out.getpixel((20, 20)) == (255, 0, 0)
        assert out.getpixel((5, 20)) == (127, 127, 255)


@pytest.mark.parametrize("options", [[], ["--compress-level", "6"]])
def test_normalise_keeps_partly_transparent_pixels(tmp_path, options, capsys):
    from vantry.aspecta import Aspecta

    soft = Image.new("RGBA", (30, 40), (230, 20, 20, 53))
    soft.save(tmp_path / "soft.png")
    assert main(["normalise", str(tmp_path / "soft.png"), *options, "-o", str(tmp_path / "o")]) == 0
    written = (tmp_path / "o" / "soft.png").read_bytes()
    with Image.open(io.BytesIO(written)) as out:
        assert out.getpixel((16, 20)) == (230, 20, 20, 53)
    # At an explicit level the command draws the picture itself, as the module does.
    assert written == Aspecta().adjust_size((tmp_path / "soft.png").read_bytes())


def icc_profile(space):
    """Profile bytes that say which colour space they describe, as a real profile's header does."""
    return b"\0" * 16 + space + b"vantry-test-profile".ljust(108, b".")


@pytest.mark.parametrize(
    "command, fmt",
    [(["normalise"], "png"), (["normalise", "--compress-level", "6"], "png"), (["normalise"], "jpeg"),
     (["normalise", "--proportion", "1:1"], "webp"), (["letterbox", "IMAGE", "50", "50"], "png"),
     (["letterbox", "IMAGE", "50", "50"], "jpeg"), (["scale"], "png"), (["scale"], "webp")],
)
def test_icc_profile_is_written_into_every_output(tmp_path, command, fmt, capsys):
    from vantry.aspecta import Aspecta

    profile = icc_profile(b"RGB ")
    Image.linear_gradient("L").resize((60, 80)).convert("RGB").save(tmp_path / "p3.png", icc_profile=profile)
    assert main([*command_on(command, tmp_path / "p3.png"), "--format", fmt, "-o", str(tmp_path / "o")]) == 0
    assert capsys.readouterr().err.count("\n") == 1  # the summary: no note
    (written,) = (tmp_path / "o").iterdir()
    with Image.open(written) as out:
        assert out.format == fmt.upper() and out.info.get("icc_profile") == profile
    if command == ["normalise"] and fmt == "png":  # the module's bytes with the profile, as Pillow writes it
        with Image.open(io.BytesIO(Aspecta().adjust_size((tmp_path / "p3.png").read_bytes()))) as module_out:
            module_out.load()
            again = io.BytesIO()
            module_out.save(again, format="PNG", icc_profile=profile)
        assert written.read_bytes() == again.getvalue()


def test_icc_profile_of_another_colour_space_is_left_out_with_a_note(tmp_path, capsys):
    Image.new("L", (30, 40), 90).save(tmp_path / "grey.png", icc_profile=icc_profile(b"GRAY"))
    assert main(["normalise", str(tmp_path / "grey.png"), "-o", str(tmp_path / "o")]) == 0
    assert f"vantry: {tmp_path / 'grey.png'}: note: its GRAY ICC profile does not describe the RGBA output" in \
        capsys.readouterr().err
    with Image.open(tmp_path / "o" / "grey.png") as out:
        assert "icc_profile" not in out.info


def test_keep_tree_keeps_both_files_of_a_name_collision(tmp_path, capsys):
    burst = tmp_path / "burst"
    (burst / "day1").mkdir(parents=True)
    (burst / "day2").mkdir()
    shots = [write_image(burst / day / "IMG_0001.jpg", size, "JPEG")
             for day, size in (("day1", (60, 40)), ("day2", (40, 60)))]
    assert main(["scale", *shots, "-o", str(tmp_path / "flat")]) == 1
    assert "already written by an earlier file" in capsys.readouterr().err
    assert main(["scale", *reversed(shots), "--keep-tree", "--format", "webp", "-o", str(tmp_path / "tree")]) == 0
    out = capsys.readouterr().out
    for day, size in (("day1", (1248, 832)), ("day2", (832, 1248))):
        with Image.open(tmp_path / "tree" / day / "IMG_0001.webp") as result:
            assert result.size == size
        assert f"{burst / day / 'IMG_0001.jpg'} -> {tmp_path / 'tree' / day / 'IMG_0001.webp'}" in out
    # A single file: its own folder is the common parent.
    assert main(["scale", shots[0], "--keep-tree", "-o", str(tmp_path / "one")]) == 0
    assert [p.name for p in (tmp_path / "one").iterdir()] == ["IMG_0001.png"]


@pytest.mark.parametrize("fmt, suffix", [("jpeg", ".jpg"), ("webp", ".webp")])
def test_format_and_quality(tmp_path, fmt, suffix, capsys):
    photo = tmp_path / "photo.png"
    Image.radial_gradient("L").resize((300, 200)).convert("RGB").save(photo)
    sizes = {}
    for quality in ("20", "90"):
        options = ["--format", fmt, "--quality", quality]
        assert main(["normalise", str(photo), *options, "-o", str(tmp_path / quality)]) == 0
        written = tmp_path / quality / f"photo{suffix}"
        with Image.open(written) as out:
            assert (out.format, out.size) == (fmt.upper(), (300, 220))
        sizes[quality] = written.stat().st_size
    assert capsys.readouterr().out.endswith(f"photo{suffix} (3:2, 300x220)\n")
    assert sizes["20"] < sizes["90"]


def test_notes_and_library_warnings_are_one_line_naming_the_file(tmp_path, monkeypatch, capsys):
    frames = [Image.new("RGB", (20, 20), (80 * n, 0, 0)) for n in range(3)]
    frames[0].save(tmp_path / "anim.gif", save_all=True, append_images=frames[1:])
    big = [write_image(tmp_path / f"big{n}.png", (40, 40)) for n in range(2)]  # the same size: the same warning text
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 1000)  # 1600 pixels: a decompression-bomb warning, not an error
    assert main(["scale", str(tmp_path / "anim.gif"), *big, "-j", "2", "-o", str(tmp_path / "o")]) == 0
    err = capsys.readouterr().err.splitlines()
    bomb = "warning: DecompressionBombWarning: Image size (1600 pixels) exceeds limit of 1000 pixels"
    assert err[0] == f"vantry: {tmp_path / 'anim.gif'}: note: 3 frames or pages; only the first is used"
    assert [line.startswith(f"vantry: {path}: {bomb}") for line, path in zip(err[1:3], big)] == [True, True]
    assert err[3:] == ["3 scaled, 0 failed"]


@pytest.mark.parametrize("command", [["scale"], ["normalise"], ["letterbox", "64", "64"]])
def test_batch_never_overwrites_an_input_or_an_earlier_output(tmp_path, command, capsys):
    first = write_image(tmp_path / "pic.png", (300, 200))
    twin = write_image(tmp_path / "pic.jpg", (200, 300), fmt="JPEG")
    before = pathlib.Path(first).read_bytes()
    # -o is the inputs' own directory: both files would be written to pic.png.
    name, sizes = command[:1], command[1:]
    assert main([*name, first, twin, *sizes, "-o", str(tmp_path)]) == 1
    err = capsys.readouterr().err
    assert err.count("would overwrite an input") == 2
    assert err.endswith(" 2 failed\n") and pathlib.Path(first).read_bytes() == before
    assert main([*name, twin, twin, *sizes, "-o", str(tmp_path / "o")]) == 1
    assert "already written by an earlier file" in capsys.readouterr().err


@pytest.mark.parametrize(
    "planted, code",
    [(".a.png.PID.part", 0),  # where the temporary file used to go: a link there is never opened
     ("a.png", 0),  # a link at the output name is replaced by the output, its target left alone
     ("a.png DANGLING", 0), ("a.png DIR", 1)],  # a directory there is a failed file, leaving nothing behind
)
def test_outputs_never_write_through_a_planted_entry(tmp_path, planted, code, capsys):
    img = write_image(tmp_path / "a.png", (30, 20))
    victim = tmp_path / "victim.txt"
    victim.write_text("precious")
    out = tmp_path / "o"
    out.mkdir()
    name, _, kind = planted.replace("PID", str(os.getpid())).partition(" ")
    if kind == "DIR":
        (out / name).mkdir()
    else:
        (out / name).symlink_to(tmp_path / "missing" / "x" if kind == "DANGLING" else victim)
    assert main(["normalise", img, "-o", str(out), "-j", "1"]) == code
    assert victim.read_text() == "precious" and sorted(tmp_path.iterdir()) == [tmp_path / "a.png", out, victim]
    assert sorted(p.name for p in out.iterdir()) == sorted({name, "a.png"})  # no temporary file left
    written = out / "a.png"
    if code == 0:
        umask = os.umask(0)
        os.umask(umask)
        assert not written.is_symlink() and written.read_bytes().startswith(b"\x89PNG")
        assert written.stat().st_mode & 0o777 == 0o666 & ~umask  # as a plain open creates it
    else:
        assert written.is_dir() and "a.png: Is a directory" in capsys.readouterr().err


def mixed_batch(folder):
    """Files that finish in another order than given: a large one first, a broken one,
    two that want the same output name, CMYK and palette images."""
    folder.mkdir()
    (folder / "broken.png").write_bytes(b"not an image")
    files = [write_image(folder / "large.jpg", (2400, 1600), fmt="JPEG"), str(folder / "broken.png"),
             write_image(folder / "tall.png", (300, 800)), write_image(folder / "cmyk.jpg", (500, 400), "JPEG", "CMYK"),
             write_image(folder / "twin.png", (90, 90)), write_image(folder / "twin.gif", (90, 60), "GIF", "P")]
    return files + [write_image(folder / f"small{n}.png", (40 + n, 30)) for n in range(4)]


def run_batch(argv, capsys):
    """(exit code, stdout, stderr, {output name: bytes}) of one run."""
    code = main(argv)
    out, err = capsys.readouterr()
    written = pathlib.Path(argv[argv.index("-o") + 1]) if "-o" in argv else None
    outputs = {p.name: p.read_bytes() for p in written.iterdir()} if written else {}
    return code, out.replace(str(written), "OUT"), err.replace(str(written), "OUT"), outputs


@pytest.mark.parametrize(
    "command",
    [["ratio", "--json"], ["normalise", "--mode", "resize"], ["normalise", "--compress-level", "1"],
     ["letterbox", "300", "200"], ["scale"]],
)
def test_jobs_give_the_same_lines_bytes_and_exit_code(tmp_path, command, capsys):
    files = mixed_batch(tmp_path / "in")
    name, options = command[:1], command[1:]
    writes = name != ["ratio"]

    def run(jobs):
        out = ["-o", str(tmp_path / f"j{jobs}")] if writes else []
        return run_batch([*name, *files, *options, *out, "-j", str(jobs)], capsys)

    sequential = run(1)
    failed = 2 if writes else 1  # broken.png; for the writers also twin.gif, whose twin.png is taken
    assert sequential[0] == 1 and sequential[2].endswith(f", {failed} failed\n")
    assert len(sequential[1].splitlines()) == len(files) - failed
    assert run(3) == sequential


@pytest.mark.parametrize(
    "exif, options, mode",
    [([], [], "fill"), (["--no-exif-rotate"], [], "fill"),
     # At an explicit PNG level the command draws the picture itself: the same bytes at the default level.
     ([], ["--compress-level", "6"], "fill"), (["--no-exif-rotate"], ["--compress-level", "6", "--mode", "resize"], "resize")],
)
def test_photo_is_measured_and_normalised_as_shown(tmp_path, exif, options, mode, capsys):
    from vantry.aspecta import Aspecta

    # A phone photo stored landscape, tagged "turn 90 degrees clockwise to show".
    stored = Image.linear_gradient("L").resize((80, 60)).convert("RGB")
    tags = Image.Exif()
    tags[0x0112] = 6
    photo = tmp_path / "phone.jpg"
    stored.save(photo, exif=tags.tobytes())
    upright = not exif
    with Image.open(photo) as img:
        shown = ImageOps.exif_transpose(img) if upright else img.copy()
    assert shown.size == ((60, 80) if upright else (80, 60))
    assert main(["ratio", str(photo), *exif]) == 0
    assert capsys.readouterr().out == f"{photo}: {'3:4 (about 3:4)' if upright else '4:3 (about 4:3)'}\n"
    # 5 % of 60 is an odd margin: the extra column goes to the right.
    assert main(["normalise", str(photo), "-o", str(tmp_path / "o"), "--expand", "5", *exif, *options]) == 0
    as_png = io.BytesIO()
    shown.save(as_png, format="PNG")
    expected = Aspecta(need_adjust=mode).adjust_size(as_png.getvalue(), expand_percent=5)
    assert (tmp_path / "o" / "phone.png").read_bytes() == expected


def png_chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def raw_profile(exif):
    """EXIF as ImageMagick writes it into a PNG text chunk: a header, then hex in lines of 72."""
    digits = exif.hex()
    return f"\nexif\n{len(exif):8d}\n" + "\n".join(digits[i:i + 72] for i in range(0, len(digits), 72)) + "\n"


TURNED_XMP = (b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">'
              b'<rdf:Description xmlns:tiff="http://ns.adobe.com/tiff/1.0/" tiff:Orientation="6"/></rdf:RDF></x:xmpmeta>')


@pytest.mark.parametrize("carrier", ["Raw profile tEXt", "late Raw profile zTXt", "late XMP iTXt", "late eXIf"])
def test_png_orientation_is_read_from_every_chunk_pillow_reads(tmp_path, carrier, capsys):
    from PIL import PngImagePlugin

    tags = Image.Exif()
    tags[0x0112] = 6  # shown turned a quarter clockwise
    exif = tags.tobytes()
    info = PngImagePlugin.PngInfo()
    if carrier == "Raw profile tEXt":  # before the pixels, as ImageMagick puts it
        info.add_text("Raw profile type exif", raw_profile(exif))
    buf = io.BytesIO()
    Image.linear_gradient("L").resize((80, 60)).convert("RGB").save(buf, format="PNG", pnginfo=info)
    late = {"late Raw profile zTXt": png_chunk(b"zTXt", b"Raw profile type exif\0\0" + zlib.compress(raw_profile(exif).encode())),
            "late XMP iTXt": png_chunk(b"iTXt", b"XML:com.adobe.xmp\0\0\0\0\0" + TURNED_XMP),
            "late eXIf": png_chunk(b"eXIf", exif[6:])}.get(carrier, b"")  # after the pixels, before IEND
    photo = tmp_path / "photo.png"
    photo.write_bytes(buf.getvalue()[:-12] + late + buf.getvalue()[-12:])
    with Image.open(photo) as img:
        img.load()
        shown = ImageOps.exif_transpose(img).convert("RGB")
    assert shown.size == (60, 80)  # Pillow reads the turn
    assert main(["ratio", str(photo)]) == 0
    assert capsys.readouterr().out == f"{photo}: 3:4 (about 3:4)\n"
    assert main(["normalise", str(photo), "--mode", "resize", "--expand", "0", "-o", str(tmp_path / "o")]) == 0
    with Image.open(tmp_path / "o" / "photo.png") as result:
        assert result.convert("RGB").tobytes() == shown.tobytes()


def test_dask_cluster_gives_the_bytes_lines_and_exit_code_of_a_local_run(tmp_path, capsys):
    distributed = pytest.importorskip("distributed")
    import dask

    files = mixed_batch(tmp_path / "in")
    commands = [["normalise", "--proportion", "3:2"], ["scale", "--compress-level", "1"], ["ratio"]]

    def run(command, where, out):
        return run_batch([*command, *files, *where] + (["-o", str(out)] if command != ["ratio"] else []), capsys)

    local = [run(c, ["-j", "1"], tmp_path / f"local{n}") for n, c in enumerate(commands)]
    # Files above the threshold in a task graph make Dask warn in six lines; they go outside the graph.
    with dask.config.set({"distributed.admin.large-graph-warning-threshold": "1kB"}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        on_cluster = [run(c, ["--dask", cluster.scheduler_address], tmp_path / f"dask{n}") for n, c in enumerate(commands)]
    assert on_cluster == local and local[0][0] == 1  # a broken file fails, it does not crash the run


def test_refused_pickle_lexicon_is_one_line_exit_2(tmp_path, capsys):
    import pickle

    class Payload:
        def __reduce__(self):
            return (os.system, ("true",))

    bad = tmp_path / "words.pkl"
    bad.write_bytes(pickle.dumps(Payload()))
    assert main(["screen", "--words-file", str(bad), "x"]) == 2
    err = capsys.readouterr().err
    assert err.startswith("vantry: error: cannot load the lexicon: ") and err.count("\n") == 1


class _Ok(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.end_headers()

    def log_message(self, *args):
        pass


def test_comfyui_restart_against_live_and_closed_port(capsys, monkeypatch):
    # A server that answers 200 to everything, the restart request included, and never goes away.
    server = http.server.HTTPServer(("127.0.0.1", 0), _Ok)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        url = f"http://127.0.0.1:{server.server_port}"
        assert main(["comfyui", "restart", "--url", url, "--max-wait", "1", "--interval", "0.05", "-v"]) == 1
        captured = capsys.readouterr()
        assert captured.out == "not ready\n" and "服务已恢复正常，状态码200 (the server answers again)" in captured.err
        assert captured.err.endswith(f"vantry: error: ComfyUI at {url} accepted the restart, but the server never "
                                     "went down: not restarted?\n")
        assert all(re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} (DEBUG|INFO|WARNING|ERROR) ", line)
                   for line in captured.err.splitlines()[:-1])
    finally:
        server.shutdown()
        server.server_close()
    # The same port, now closed: nothing answers within the deadline. By default the
    # manager's DEBUG lines stay hidden but progress shows, and -q leaves the errors only.
    monkeypatch.setattr(comfyui_cli, "PROGRESS_EVERY", 0.3)
    closed = ["comfyui", "restart", "--url", url, "--max-wait", "1", "--interval", "0.05", "--timeout", "1"]
    assert main(closed) == 1
    captured = capsys.readouterr()
    assert captured.out == "not ready\n" and "DEBUG" not in captured.err
    assert "INFO the restart request did not reach the server (connection refused)" in captured.err
    assert f"INFO still waiting for ComfyUI at {url} (connection refused), " in captured.err
    assert captured.err.endswith(f"vantry: error: ComfyUI at {url} could not be asked to restart (connection "
                                 "refused) and did not answer within 1 s\n")
    assert main([*closed, "-q"]) == 1
    assert " INFO " not in capsys.readouterr().err


class _RefusingManager(http.server.BaseHTTPRequestHandler):
    """A live ComfyUI whose manager refuses restarts: every reboot route, old and new, GET and
    POST, answers the server's `status` (403: security level "strong"; 404: no manager)."""

    def _answer(self):
        self.server.paths.append((self.command, self.path))
        self.send_response(200 if self.path == "/api/system_stats" else self.server.status)
        self.send_header("Content-Length", "0")
        self.end_headers()

    do_GET = do_POST = _answer

    def log_message(self, *args):
        pass


@pytest.mark.parametrize("status, meaning", [(403, "security level forbids restarts"),
                                             (404, "no ComfyUI-Manager answers on any restart route")])
def test_comfyui_restart_refused_says_why_at_once(status, meaning, capsys):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _RefusingManager)
    server.status, server.paths = status, []
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_port}"
    started = time.monotonic()
    try:
        assert main(["comfyui", "restart", "--url", url, "--max-wait", "30", "--interval", "0.05"]) == 1
    finally:
        server.shutdown()
        server.server_close()
    err = capsys.readouterr().err
    assert time.monotonic() - started < 5 and ("GET", "/api/system_stats") not in server.paths
    assert f"vantry: error: ComfyUI at {url} refused the restart (HTTP {status} from {url}/api/" in err
    assert meaning in err and f"重启请求被拒绝，状态码 {status} url=" in err


BUSY = "has 1 prompt running and 2 pending; a restart would lose them: --force restarts anyway, --wait-idle SECONDS"


@pytest.mark.parametrize(
    "generation, options, code, message",
    [
        ("manager 3.x", {}, 0, "is back after"),
        ("manager 3.40+", {}, 0, "is back after"),  # GET 404 through the static route, POST restarts
        ("manager 4.0.x", {}, 0, "is back after"),
        ("manager 4.3", {}, 0, "is back after"),
        ("manager 4.3, late restart", {}, 0, "is back after"),  # 200 first, down a moment later
        ("manager 4.3", {"proxied": True}, 0, "is back after"),  # nginx: 502, 502s while down, then 200
        ("manager 4.3", {"queues": ()}, 0, "could not read the queue of ComfyUI at URL (HTTP 404: an older ComfyUI?)"),
        ("manager 4.3", {"credentials": True, "argv": ["-v"]}, 0, "is back after"),
        ("manager 3.40+, strong", {}, 1, "refused the restart (HTTP 403 from URL/api/manager/reboot)"),
        ("manager 4.0.x, strong", {}, 1, "refused the restart (HTTP 403"),
        ("no manager", {}, 1, "refused the restart (HTTP 404"),
        # A busy queue: refused without a request, restarted with --force, or waited for.
        ("manager 4.3", {"queues": [(1, 2)]}, 1, BUSY),
        ("manager 4.3", {"queues": [(1, 2)], "argv": ["--force"]}, 0, "restarting anyway (--force): they will be lost"),
        ("manager 4.3", {"queues": [(1, 2), (1, 0), (0, 0)], "argv": ["--wait-idle", "10"]}, 0, "is back after"),
        ("manager 4.3", {"queues": [(1, 0)], "argv": ["--wait-idle", "0.3"]}, 1, "still has 1 prompt running and 0"),
    ],
)
def test_comfyui_restart_each_manager_generation(generation, options, code, message, capsys):
    # The loopback ComfyUI of the module's tests: a restart really takes the server down and back.
    from test_revivo import GENERATIONS, ComfyUIServer, GatewayProxy

    server = ComfyUIServer(GENERATIONS[generation], queues=options.get("queues", ((0, 0),)))
    front = GatewayProxy(server) if options.get("proxied") else None
    url = front.url if front else server.url
    shown = url
    if options.get("credentials"):
        url, shown = url.replace("http://", "http://admin:s3cret@"), url.replace("http://", "http://***@")
    started = time.monotonic()
    try:
        argv = ["comfyui", "restart", "--url", url, "--max-wait", "10", "--interval", "0.1", *options.get("argv", [])]
        assert main(argv) == code
        seen = list(server.events)  # by the time the command ended
    finally:
        if front:
            front.close()
        server.close()
    captured = capsys.readouterr()
    restarted = "down" in seen and "up" in seen
    assert restarted == (code == 0) and captured.out == ("ready\n" if code == 0 else "not ready\n")
    assert message.replace("URL", shown) in captured.err and "s3cret" not in captured.err
    if code == 1:
        assert time.monotonic() - started < 5
    if message == BUSY:
        assert [event for event in server.events if event[1] != "/api/queue"] == []


def _script():
    return pathlib.Path(sys.executable).with_name("vantry")


@pytest.mark.parametrize("launcher", [[str(_script())], [sys.executable, "-m", "vantry"]])
def test_installed_entry_points(launcher, tmp_path):
    img = write_image(tmp_path / "s.png", (600, 800))
    (tmp_path / "bad.png").write_bytes(b"\x89PNG broken")
    run = subprocess.run(launcher + ["normalise", img, str(tmp_path / "bad.png"), "-o", str(tmp_path / "out")],
                         capture_output=True, text=True, cwd=tmp_path)
    assert run.returncode == 1 and run.stderr.endswith("1 normalised, 1 failed\n")
    assert "Traceback" not in run.stderr and (tmp_path / "out" / "s.png").exists()
    run = subprocess.run(launcher + ["screen", "a field of poppies"], capture_output=True, text=True, cwd=tmp_path)
    assert (run.returncode, run.stdout) == (0, "ok\n")
    run = subprocess.run(launcher + ["size"], capture_output=True, text=True, cwd=tmp_path)
    assert run.returncode == 2 and run.stderr.startswith("vantry size: error: ") and run.stderr.count("\n") == 1
    run = subprocess.run(launcher + ["--version"], capture_output=True, text=True, cwd=tmp_path)
    assert (run.returncode, run.stdout) == (0, "vantry 0.1.0\n")
    # Standard output closed after one line, as by `| head -1`: a quiet stop.
    (tmp_path / "prompts.txt").write_text("a field of poppies\n" * 20000)
    pipeline = f"set -o pipefail; {shlex.join(launcher)} screen --json < prompts.txt | head -1"
    run = subprocess.run(["bash", "-c", pipeline], capture_output=True, text=True, cwd=tmp_path, timeout=60)
    assert (run.returncode, run.stderr, run.stdout.count("\n")) == (141, "", 1)


# Start-up: each command line imports only what it runs (argv, must load, must not load).
CLI = ["vantry.cli.screen", "vantry.cli.size", "vantry.cli.images", "vantry.cli.batch", "vantry.cli.comfyui"]
HEAVY = ["re", "gettext", "logging", "dataclasses", "urllib.parse", "pathlib", "concurrent.futures", "PIL", "vantry.aspecta",
         "vantry.wordsift", "vantry.gridlum", "vantry.comfyui.revivo"]


@pytest.mark.parametrize("argv, loaded", [
    (["--version"], []),
    (["--help"], ["argparse"] if sys.version_info >= (3, 14) else []),  # newer: argparse's coloured help
    (["size", "16:9"], ["argparse", "vantry.cli.size", "vantry.gridlum"]),
    (["screen", "a lighthouse"], ["argparse", "vantry.cli.screen", "vantry.wordsift"]),
    (["ratio", "missing.jpg"], ["argparse", "vantry.cli.images", "vantry.cli.batch", "vantry.simplora", "PIL", "logging"]),
])
def test_a_command_line_imports_only_what_it_runs(argv, loaded):
    # What argparse itself imports on this Python (dataclasses, from 3.14 on) is not the command's doing.
    own = "import sys, argparse; argparse.ArgumentParser().format_help(); print(' '.join(sys.modules))"
    argparse_own = set(subprocess.run([sys.executable, "-c", own], capture_output=True, text=True).stdout.split())
    code = ("import sys; from vantry.cli import main\n"
            "try: main(sys.argv[1:])\n"
            "except SystemExit: pass\n"
            "print(' '.join(sorted(sys.modules)), file=sys.stderr)")
    run = subprocess.run([sys.executable, "-c", code, *argv], capture_output=True, text=True, timeout=60)
    modules = set(run.stderr.split())
    assert set(loaded) <= modules
    forbidden = set(CLI + HEAVY + ["argparse"]) - set(loaded) - (argparse_own if "argparse" in loaded else set())
    assert not modules & forbidden


def test_the_summary_list_is_the_subcommands_own(monkeypatch, capsys):
    from vantry.cli import _top_help, build_parser

    assert build_parser(["--help"]).format_help() == build_parser().format_help()
    # `vantry --help` is printed without argparse, as the full parser prints it, at any width.
    assert sys.version_info >= (3, 14) or _top_help(80) is not None
    for columns in range(20, 200):
        monkeypatch.setenv("COLUMNS", str(columns))
        for flag in ("--help", "-h"):
            with pytest.raises(SystemExit) as info:
                main([flag])
            assert (info.value.code, capsys.readouterr().out) == (0, build_parser().format_help()), columns


@pytest.mark.parametrize(
    "argv, code, refused, message",
    [(["normalise", "FIFO", "IMG", "-o", "OUT", "-j", "2"], 1, "FIFO", "not a regular file but a FIFO"),
     (["ratio", "/dev/zero", "IMG", "-j", "1"], 1, "/dev/zero", "not a regular file but a character device"),
     (["scale", "DIR", "IMG", "-o", "OUT"], 1, "DIR", "not a regular file but a directory"),
     (["letterbox", "BIG", "IMG", "8", "8", "-o", "OUT"], 1, "BIG", "268435457 bytes, more than the 256 MiB"),
     (["screen", "--words-file", "FIFO", "x"], 2, "FIFO", "not a regular file but a FIFO"),
     (["screen", "--words-file", "/dev/zero", "x"], 2, "/dev/zero", "not a regular file but a character device")],
)
def test_inputs_that_are_not_regular_files_are_refused_unread(tmp_path, argv, code, refused, message):
    # Once read, a FIFO waits for a writer and /dev/zero never ends: a subprocess, so a regression fails, not hangs.
    names = {"FIFO": tmp_path / "fifo.png", "DIR": tmp_path / "dir.png", "BIG": tmp_path / "big.png",
             "IMG": pathlib.Path(write_image(tmp_path / "good.png", (30, 20))), "OUT": tmp_path / "o"}
    os.mkfifo(names["FIFO"])
    names["DIR"].mkdir()
    with open(names["BIG"], "wb") as big:
        big.truncate(268435457)  # sparse: one byte over the bound, nothing on disk
    run = subprocess.run([sys.executable, "-m", "vantry", *(str(names.get(a, a)) for a in argv)],
                         capture_output=True, text=True, timeout=30)
    lines = run.stderr.splitlines()
    where = "error: cannot load the lexicon: " if code == 2 else ""
    assert run.returncode == code and lines[0].startswith(f"vantry: {where}{names.get(refused, refused)}: {message}")
    # The other files are done: one line for the refused file, then the summary.
    assert len(lines) == 1 if code == 2 else len(lines) == 2 and re.fullmatch(r"1 \w+, 1 failed", lines[1])


READ_BYTES = """
import sys
from vantry.cli import main

def read_so_far():
    with open("/proc/self/io") as io:
        return next(int(line.split()[1]) for line in io if line.startswith("rchar:"))

main(sys.argv[1:])  # imports everything the command needs
before = read_so_far()
main(sys.argv[1:])
print(read_so_far() - before)
"""


# ratio reads a file's header, not the whole file: each image is followed by 64 MiB it never needs.
@pytest.mark.parametrize("fmt, orientation, shown", [("PNG", None, "3:2"), ("JPEG", 6, "2:3"), ("JPEG", 1, "3:2")])
def test_ratio_reads_only_headers(tmp_path, fmt, orientation, shown):
    path = tmp_path / f"photo.{fmt.lower()}"
    exif = Image.Exif()
    if orientation:
        exif[0x0112] = orientation
    Image.new("RGB", (300, 200), (90, 20, 30)).save(path, format=fmt, exif=exif.tobytes())
    with open(path, "r+b") as file:
        file.truncate(path.stat().st_size + 64 * 2**20)  # sparse: costs no disk
    run = subprocess.run([sys.executable, "-c", READ_BYTES, "ratio", str(path)], capture_output=True, text=True,
                         timeout=60)
    *lines, read = run.stdout.splitlines()
    assert lines == [f"{path}: {shown} (about {shown})"] * 2 and int(read) < 2**20


STUCK_BATCH = """
import pathlib, sys, threading
from vantry.cli import batch, command

started = pathlib.Path(sys.argv.pop(1))

def stuck(step, read, path):  # a file whose decoding takes as long as it likes
    started.touch()
    threading.Event().wait()

batch._read_and_run = stuck
command()
"""


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_first_ctrl_c_ends_the_process_while_files_are_in_hand(tmp_path, jobs):
    images = [write_image(tmp_path / f"i{n}.png", (16, 9)) for n in range(3)]
    started = tmp_path / "started"
    child = subprocess.Popen([sys.executable, "-c", STUCK_BATCH, str(started), "normalise", *images,
                              "-o", str(tmp_path / "o"), "-j", jobs], stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 30
        while not started.exists() and time.monotonic() < deadline and child.poll() is None:
            time.sleep(0.02)
        assert started.exists()
        child.send_signal(signal.SIGINT)
        assert child.wait(timeout=10) == 130  # the threads still reading do not keep it alive
        assert child.stderr.read() == "interrupted: 0 normalised, 0 failed, 3 not done\n"
    finally:
        child.kill()
        child.wait()
        child.stderr.close()


class _Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("count, tty, bar", [(8, True, True), (7, True, False), (8, False, False)])
def test_progress_bar_only_for_many_files_on_a_terminal(tmp_path, monkeypatch, count, tty, bar):
    images = [write_image(tmp_path / f"i{n}.png", (16, 9)) for n in range(count)]
    err = _Terminal() if tty else io.StringIO()
    monkeypatch.setattr(sys, "stderr", err)
    assert main(["ratio", *images]) == 0
    assert ("file/s" in err.getvalue() or "s/file" in err.getvalue()) is bar
    assert err.getvalue().endswith(f"{count} measured, 0 failed\n")


def textured(mode, size=(1024, 768)):
    """A photo-like picture (noise over a gradient, with flat patches) or, for "flat", one colour; in `mode`."""
    if mode == "flat":
        return Image.new("RGB", size, (40, 90, 160))
    grey = Image.blend(Image.linear_gradient("L").resize(size), Image.effect_noise(size, 40), 0.3)
    grey.paste(128, (100, 100, 400, 300))
    picture = Image.merge("RGB", (grey, grey.rotate(90).resize(size), grey.transpose(Image.Transpose.FLIP_LEFT_RIGHT)))
    if mode == "I;16":
        return grey.convert("I").point(lambda v: v * 257).convert("I;16")
    return picture.convert(mode) if mode != "RGBA" else Image.merge("RGBA", (*picture.split(), grey))


@pytest.mark.parametrize("library", ["zlib-ng", "zlib"])
@pytest.mark.parametrize("mode", ["RGBA", "RGB", "L", "P", "1", "I;16", "flat"])
def test_fast_png_writer_keeps_pillows_pixels_in_a_file_no_larger(tmp_path, monkeypatch, library, mode):
    import shutil

    from vantry.cli import fastpng, output

    if library == "zlib-ng" and fastpng._zlib_ng is None:
        pytest.skip("zlib-ng is not installed for this Python (no wheel, or installed without dependencies)")
    if library == "zlib":
        monkeypatch.setattr(fastpng, "_zlib_ng", None)
    monkeypatch.setattr(fastpng, "PIECE", 512 * 1024)  # several pieces, joined into one stream
    image = textured(mode)
    profile = icc_profile(b"GRAY" if image.mode in ("L", "1", "I;16") else b"RGB ")
    written = {threads: output.encode(image, output.Encoding(threads=threads), profile)[0] for threads in (1, 3)}
    pillow, _ = output.encode(image, output.Encoding(png_encoder="pillow"), profile)
    assert written[1] == written[3]  # the same file whatever the thread count
    with Image.open(io.BytesIO(written[1])) as fast, Image.open(io.BytesIO(pillow)) as slow:
        assert (fast.mode, fast.size, fast.tobytes()) == (slow.mode, slow.size, slow.tobytes())
        assert fast.info.get("icc_profile") == profile
    assert len(written[1]) <= len(pillow)
    if shutil.which("pngcheck"):  # a strict reader: chunk CRCs, the zlib stream and its Adler-32
        (tmp_path / "fast.png").write_bytes(written[1])
        checked = subprocess.run(["pngcheck", str(tmp_path / "fast.png")], capture_output=True, text=True)
        assert checked.returncode == 0, checked.stdout


@pytest.mark.parametrize(
    "cores, options, threads",
    [(2, [], 1), (2, ["-j", "1"], 2), (2, ["-j", "2"], 1), (2, ["-j", "3"], 1), (8, ["-j", "2"], 4),
     (8, ["-j", "3"], 2), (1, ["-j", "1"], 1), (4, ["--dask", "tcp://nowhere:8786"], 1)],
)
def test_files_and_deflate_threads_share_the_cores(monkeypatch, cores, options, threads):
    from vantry.cli import batch, build_parser, output

    monkeypatch.setattr(batch, "usable_cpus", lambda: cores)
    argv = ["normalise", "a.jpg", "-o", "out", *options]
    args = build_parser(argv).parse_args(argv)
    assert output.encoding_of(args).threads == threads


@pytest.mark.parametrize("name", ["a.jpg", "./a.jpg", "a//b/./c.png", "dir/", "/x", "//x", "///x", "", ".", "./",
                                  "../a", "a/../b", "~/ü n.jpg", "-", "a\\b"])
def test_files_are_named_as_pathlib_names_them(name):
    import pathlib

    from vantry.cli.batch import shown_path

    assert shown_path(name) == str(pathlib.PurePosixPath(name))
