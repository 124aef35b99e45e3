import http.server
import io
import json
import os
import pathlib
import re
import shlex
import subprocess
import sys
import threading
import time

import pytest
from PIL import Image, ImageOps

from vantry.cli import main

COMMANDS = [["screen"], ["size"], ["ratio"], ["normalise"], ["letterbox"], ["scale"], ["comfyui"], ["comfyui", "restart"]]


def write_image(path, size, fmt="PNG", mode="RGB"):
    Image.new(mode, size, 70000 if mode == "I" else (10, 20, 30)).save(path, format=fmt)
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


def test_screen_answers_each_stdin_line(monkeypatch, capsys):
    monkeypatch.setattr(sys, "stdin", io.StringIO("clean\r\n\nfentanyl please\n"))
    assert main(["screen", "--json"]) == 1
    lines = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert [(l["prompt"], l["banned"]) for l in lines] == [("clean", False), ("", False), ("fentanyl please", True)]


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
        # 32-bit integer pixels, which PNG cannot store, are converted first.
        (["scale", "IMG", "--compress-level", "0"], "TIFF", (1392, 752)),
        (["letterbox", "IMG", "64", "64"], "TIFF", (64, 64)),
    ],
)
def test_image_commands_write_png(tmp_path, argv, source, size, capsys):
    img = write_image(tmp_path / f"wide.{source.lower()}", (1920, 1080), fmt=source, mode="I" if source == "TIFF" else "RGB")
    assert main([img if a == "IMG" else a for a in argv] + ["-o", str(tmp_path / "o")]) == 0
    with Image.open(tmp_path / "o" / "wide.png") as result:
        assert (result.format, result.size) == ("PNG", size)


def test_letterbox_background(tmp_path, capsys):
    img = write_image(tmp_path / "w.png", (100, 50))
    assert main(["letterbox", img, "100", "100", "--bg", "255,0,0", "-o", str(tmp_path / "o")]) == 0
    with Image.open(tmp_path / "o" / "w.png") as result:
        assert result.getpixel((0, 0)) == (255, 0, 0) and result.getpixel((50, 50)) == (10, 20, 30)


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


def test_dask_cluster_gives_the_bytes_lines_and_exit_code_of_a_local_run(tmp_path, capsys):
    distributed = pytest.importorskip("distributed")
    files = mixed_batch(tmp_path / "in")
    commands = [["normalise", "--proportion", "3:2"], ["scale", "--compress-level", "1"], ["ratio"]]

    def run(command, where, out):
        return run_batch([*command, *files, *where] + (["-o", str(out)] if command != ["ratio"] else []), capsys)

    local = [run(c, ["-j", "1"], tmp_path / f"local{n}") for n, c in enumerate(commands)]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
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


def test_comfyui_restart_against_live_and_closed_port(capsys):
    server = http.server.HTTPServer(("127.0.0.1", 0), _Ok)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        url = f"http://127.0.0.1:{server.server_port}"
        assert main(["comfyui", "restart", "--url", url, "--max-wait", "5", "--interval", "0.05", "-v"]) == 0
        captured = capsys.readouterr()
        assert captured.out == "ready\n" and "服务已恢复正常，状态码200 (the server answers again)" in captured.err
        assert f"INFO ComfyUI at {url} is back after " in captured.err
        assert all(re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} (DEBUG|INFO) ", line)
                   for line in captured.err.splitlines())
    finally:
        server.shutdown()
        server.server_close()
    # The same port, now closed: nothing answers within the deadline. By default the
    # manager's DEBUG lines stay hidden, and -q leaves the errors only.
    closed = ["comfyui", "restart", "--url", url, "--max-wait", "1", "--interval", "0.05", "--timeout", "1"]
    assert main(closed) == 1
    captured = capsys.readouterr()
    assert captured.out == "not ready\n" and "DEBUG" not in captured.err
    assert "INFO the restart request did not reach the server (connection refused)" in captured.err
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


@pytest.mark.parametrize("generation, code", [("manager 3.x", 0), ("manager 4.0.x", 0), ("manager 4.3", 0),
                                              ("manager 4.0.x, strong", 1), ("no manager", 1)])
def test_comfyui_restart_each_manager_generation(generation, code, capsys):
    # The loopback ComfyUI of the module's tests: a restart really takes the server down and back.
    from test_revivo import GENERATIONS, ComfyUIServer

    server = ComfyUIServer(GENERATIONS[generation])
    try:
        assert main(["comfyui", "restart", "--url", server.url, "--max-wait", "10", "--interval", "0.1"]) == code
    finally:
        server.close()
    restarted = "down" in server.events and "up" in server.events
    assert restarted == (code == 0) and capsys.readouterr().out == ("ready\n" if code == 0 else "not ready\n")


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


def test_help_loads_no_extension_module():
    code = "import sys; from vantry.cli import build_parser; build_parser(); " \
           "print([m for m in sys.modules if m.startswith('vantry.') and not m.startswith('vantry.cli')])"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env={**os.environ})
    assert run.stdout.strip() == "[]"


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
