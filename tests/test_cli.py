import http.server
import io
import json
import os
import pathlib
import subprocess
import sys
import threading

import pytest
from PIL import Image

from vantry.cli import main

COMMANDS = [["screen"], ["size"], ["ratio"], ["normalise"], ["letterbox"], ["scale"], ["comfyui"], ["comfyui", "restart"]]


def write_image(path, size, fmt="PNG", mode="RGB"):
    Image.new(mode, size, (10, 20, 30)).save(path, format=fmt)
    return str(path)


@pytest.mark.parametrize("cmd", COMMANDS)
def test_every_subcommand_has_help(cmd, capsys):
    with pytest.raises(SystemExit) as exit_info:
        main([*cmd, "--help"])
    assert exit_info.value.code == 0
    assert "usage: vantry " + " ".join(cmd) in capsys.readouterr().out


@pytest.mark.parametrize(
    "argv",
    [[], ["nosuch"], ["size"], ["normalise", "a.png"], ["letterbox", "a.png", "0", "5", "-o", "x"],
     ["letterbox", "a.png", "5", "5", "-o", "x", "--bg", "1,2"], ["normalise", "a.png", "-o", "x", "--mode", "stretch"],
     ["ratio", "a.png", "--range", "0"]],
)
def test_bad_usage_exits_2(argv, capsys):
    with pytest.raises(SystemExit) as exit_info:
        main(argv)
    assert exit_info.value.code == 2
    assert "Traceback" not in capsys.readouterr().err


@pytest.mark.parametrize(
    "argv, code, out",
    [
        (["screen", "a lighthouse at dawn"], 0, "ok\n"),
        (["screen", "a bag of cocaine"], 1, "banned: cocaine\n"),
        (["screen", "--exclude", "cocaine", "a bag of cocaine"], 0, "ok\n"),
        (["screen", "--no-builtin", "--add", "Dawn", "a lighthouse at dawn"], 1, "banned: dawn\n"),
        (["screen", "--no-builtin", "--add", "Dawn", "--case-sensitive", "at dawn"], 0, "ok\n"),
        (["size", "16:9"], 0, "3424x1936 (6628864 pixels, 16:9 at 2k)\n"),
        (["size", "10:1"], 0, "3840x1280 (4915200 pixels, 10:1 at 2k)\n"),
    ],
)
def test_screen_and_size(argv, code, out, capsys):
    assert main(argv) == code
    assert capsys.readouterr().out == out


@pytest.mark.parametrize("argv", [["size", "10:1", "--strict"], ["size", "16x9"], ["size", "16:0"], ["screen", "--words-file", "/no/such", "x"]])
def test_refusals_are_one_line_exit_2(argv, capsys):
    assert main(argv) == 2
    err = capsys.readouterr().err
    assert err.startswith("vantry: error: ") and err.count("\n") == 1


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


def test_screen_reads_stdin_lines(monkeypatch, capsys):
    monkeypatch.setattr(sys, "stdin", io.StringIO("clean\n\nfentanyl please\n"))
    assert main(["screen"]) == 1
    assert capsys.readouterr().out == "ok\nbanned: fentanyl\n"


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
    "argv, size",
    [
        (["letterbox", "IMG", "512", "512"], (512, 512)),
        (["scale", "IMG"], (1392, 752)),
        (["normalise", "IMG", "--mode", "resize", "--expand", "0"], (1920, 1080)),
        (["normalise", "IMG", "--proportion", "3:4"], (1920, 1080)),  # gated out, still PNG
    ],
)
def test_image_commands_write_png(tmp_path, argv, size, capsys):
    img = write_image(tmp_path / "wide.jpg", (1920, 1080), fmt="JPEG")
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
        assert main(["comfyui", "restart", "--url", url, "--max-wait", "5", "--interval", "0.05"]) == 0
        captured = capsys.readouterr()
        assert captured.out == "ready\n" and "服务已恢复正常" in captured.err
    finally:
        server.shutdown()
        server.server_close()
    # The same port, now closed: nothing answers within the deadline.
    assert main(["comfyui", "restart", "--url", url, "--max-wait", "1", "--interval", "0.05", "--timeout", "1"]) == 1
    captured = capsys.readouterr()
    assert captured.out == "not ready\n" and "服务未启动/连接拒绝" in captured.err


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
    assert run.returncode == 2 and "usage: vantry size" in run.stderr


def test_help_loads_no_extension_module():
    code = "import sys; from vantry.cli import build_parser; build_parser(); " \
           "print([m for m in sys.modules if m.startswith('vantry.') and m != 'vantry.cli'])"
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
