"""vantry.prefora: scaling to the nearest preferred resolution."""

import pytest
from PIL import Image
from PIL.Image import Resampling

import vantry.prefora as prefora_module
from vantry.prefora import PreforaImageScale

from conftest import assert_no_leak, raises

PAIRS = [
    (672, 1568), (688, 1504), (720, 1456), (752, 1392), (800, 1328), (832, 1248), (880, 1184), (944, 1104),
    (1024, 1024), (1104, 944), (1184, 880), (1248, 832), (1328, 800), (1392, 752), (1456, 720), (1504, 688),
    (1568, 672),
]


class SizedImage:
    """Has the size properties of an image; resize gives back the size asked for."""

    def __init__(self, width, height):
        self.width, self.height = width, height

    def resize(self, size, resample):
        return size


class RecordingImage:
    """Has the size properties of an image and records the resize it is asked for."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.calls = []

    def resize(self, size, resample):
        self.calls.append((size, resample))
        return size


def test_resolution_list():
    resolutions = PreforaImageScale.PREFERED_PREFORA_RESOLUTIONS
    assert type(resolutions) is list and all(type(pair) is tuple for pair in resolutions)
    assert resolutions == PAIRS
    assert all(w % 16 == 0 and h % 16 == 0 for w, h in resolutions)
    assert resolutions == [(h, w) for w, h in reversed(resolutions)]


@pytest.mark.parametrize(
    "source, expected",
    [
        ((1, 1), (1024, 1024)), ((512, 512), (1024, 1024)), ((1000, 1000), (1024, 1024)),
        ((1920, 1080), (1392, 752)), ((1080, 1920), (752, 1392)),
        ((4000, 3000), (1184, 880)), ((3000, 4000), (880, 1184)),
        ((3, 2), (1248, 832)), ((2, 3), (832, 1248)), ((21, 9), (1568, 672)),
        ((1000, 100), (1568, 672)), ((100, 1000), (672, 1568)),
        ((64, 59), (1024, 1024)), ((64, 69), (944, 1104)),
    ],
)
def test_selected_resolution(source, expected):
    image = RecordingImage(*source)
    assert PreforaImageScale(image).start() == expected
    assert image.calls == [(expected, Resampling.LANCZOS)]


@pytest.mark.parametrize("source, tied", [((64, 59), (1104, 944)), ((64, 69), (1024, 1024))])
def test_exact_ties_really_are_ties(source, tied):
    # Guards the two tie rows above: both distances are the same double.
    ratio = source[0] / source[1]
    winner = PreforaImageScale(RecordingImage(*source)).start()
    assert abs(ratio - winner[0] / winner[1]) == abs(ratio - tied[0] / tied[1])
    assert winner[0] < tied[0]


def test_result_is_a_new_lanczos_image_and_the_source_is_kept():
    src = Image.linear_gradient("L").resize((300, 200))
    before = src.tobytes()
    scaler = PreforaImageScale(src)
    first, second = scaler.start(), scaler.start()
    assert first.size == second.size == (1248, 832)
    assert first.tobytes() == src.resize((1248, 832), Resampling.LANCZOS).tobytes()
    assert scaler.image is src and src.size == (300, 200) and src.tobytes() == before


def test_resized_even_at_the_selected_size():
    image = RecordingImage(1024, 1024)
    PreforaImageScale(image).start()
    assert image.calls == [((1024, 1024), Resampling.LANCZOS)]
    src = Image.new("RGB", (1024, 1024))
    assert PreforaImageScale(src).start() is not src


def test_list_is_read_through_the_instance_at_every_call():
    class Squares(PreforaImageScale):
        PREFERED_PREFORA_RESOLUTIONS = ((64, 64), [32, 32])

    assert Squares(RecordingImage(5, 1)).start() == (32, 32)
    scaler = PreforaImageScale(RecordingImage(16, 9))
    scaler.PREFERED_PREFORA_RESOLUTIONS = (pair for pair in [(4, 3), (2, 1), (1, 1)])
    assert scaler.start() == (2, 1)
    scaler.PREFERED_PREFORA_RESOLUTIONS = [(16.0, 9), (32, 18)]
    assert scaler.start() == (16.0, 9)  # exact tie on d: 16.0 < 32 decides
    del scaler.PREFERED_PREFORA_RESOLUTIONS
    assert scaler.start() == (1392, 752)
    assert PreforaImageScale.PREFERED_PREFORA_RESOLUTIONS == PAIRS


@pytest.mark.parametrize(
    "resolutions, exc, message",
    [
        ([], ValueError, "min()"),
        ([(1024, 1024), (1, 2, 3)], ValueError, "too many values to unpack"),
        ([(1,)], ValueError, "not enough values to unpack"),
        ([5], TypeError, "cannot unpack non-iterable int object"),
        ([(1024, 1024), (16, 0)], ZeroDivisionError, "division by zero"),
    ],
)
def test_replaced_list_errors(resolutions, exc, message):
    scaler = PreforaImageScale(RecordingImage(4, 3))
    scaler.PREFERED_PREFORA_RESOLUTIONS = resolutions
    with pytest.raises(exc, match=message.replace("(", r"\(").replace(")", r"\)")):
        scaler.start()
    assert scaler.image.calls == []


@pytest.mark.parametrize("image, exc", [(Image.new("RGB", (5, 0)), ZeroDivisionError), (object(), AttributeError)])
def test_image_errors(image, exc):
    with pytest.raises(exc):
        PreforaImageScale(image).start()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: PreforaImageScale(), "missing required argument 'image'"),
        (lambda: PreforaImageScale(1, 2), "takes at most 1 positional arguments"),
        (lambda: PreforaImageScale(img=1), "unexpected keyword argument 'img'"),
        (lambda: PreforaImageScale(1).start(1), "takes no positional arguments"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert message in str(info.value)


def test_plain_class_and_module_names():
    scaler = PreforaImageScale(image=RecordingImage(1, 1))
    assert PreforaImageScale.__bases__ == (object,)
    assert list(vars(scaler)) == ["image"]
    assert prefora_module.Image is Image and prefora_module.Resampling is Resampling


def test_no_reference_leaks():
    scaler = PreforaImageScale(SizedImage(1920, 1080))
    assert_no_leak(scaler.start)
    assert_no_leak(lambda: PreforaImageScale(scaler))
    odd = PreforaImageScale(SizedImage(3, 2))
    odd.PREFERED_PREFORA_RESOLUTIONS = [(2.5, 1), (3, 2), (2**70, 2**69)]
    assert_no_leak(odd.start)
    for bad in ([], [(1, 2, 3)], [5], [(1, 0)]):
        failing = PreforaImageScale(SizedImage(3, 2))
        failing.PREFERED_PREFORA_RESOLUTIONS = bad
        assert_no_leak(raises((ValueError, TypeError, ZeroDivisionError), failing.start))
    assert_no_leak(raises(ZeroDivisionError, PreforaImageScale(SizedImage(1, 0)).start))
    assert_no_leak(raises(TypeError, PreforaImageScale))
