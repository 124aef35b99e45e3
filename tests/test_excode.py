import copy
import pickle

import pytest

from conftest import assert_no_leak, raises
from vantry.excode import PromptBanError, ServiceError, VantryError


def roundtrips(err):
    return [pickle.loads(pickle.dumps(err, protocol=p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)] + [
        copy.copy(err),
        copy.deepcopy(err),
    ]


def test_hierarchy():
    assert VantryError.__bases__ == (Exception,)
    assert ServiceError.__bases__ == (VantryError,) and PromptBanError.__bases__ == (VantryError,)
    for cls in (VantryError, ServiceError, PromptBanError):
        assert (cls.__module__, cls.__qualname__) == ("vantry.excode", cls.__name__)


@pytest.mark.parametrize("aspect_ratio", [None, "10:1"])
def test_service_error_fields_survive_pickle_and_copy(aspect_ratio):
    err = ServiceError("图像宽高比不合法, 相差太大", aspect_ratio=aspect_ratio)
    for e in [err] + roundtrips(err):
        assert type(e) is ServiceError
        assert (e.message, e.aspect_ratio, e.args, str(e)) == (
            "图像宽高比不合法, 相差太大", aspect_ratio, ("图像宽高比不合法, 相差太大",), "图像宽高比不合法, 相差太大")


def test_prompt_ban_error_fields_survive_pickle_and_copy():
    err = PromptBanError(error_msg="违禁词: a,b", data=["a", "b"])
    err.note = "kept"
    for e in [err] + roundtrips(err):
        assert type(e) is PromptBanError
        assert (e.error_msg, e.data, str(e), e.note) == ("违禁词: a,b", ["a", "b"], "违禁词: a,b", "kept")
    assert PromptBanError(error_msg="x").data is None


def test_subclasses_round_trip():
    class Mine(PromptBanError):
        pass

    globals()["Mine"] = Mine
    Mine.__qualname__ = "Mine"
    e = pickle.loads(pickle.dumps(Mine(error_msg="m", data=[1])))
    assert type(e) is Mine and e.data == [1]


@pytest.mark.parametrize(
    "make",
    [
        lambda: ServiceError(),
        lambda: ServiceError("m", "10:1"),
        lambda: ServiceError("m", ratio="1:1"),
        lambda: PromptBanError("m"),
        lambda: PromptBanError(data=[]),
    ],
)
def test_constructor_arguments(make):
    with pytest.raises(TypeError):
        make()


def test_raised_and_caught_as_vantry_error():
    with pytest.raises(VantryError, match="^m$"):
        raise ServiceError("m", aspect_ratio="1:9")


def test_no_leaks():
    err = PromptBanError(error_msg="x", data=["x"])
    assert_no_leak(lambda: ServiceError("m", aspect_ratio="1:1"))
    assert_no_leak(lambda: pickle.loads(pickle.dumps(err)))
    assert_no_leak(raises(TypeError, PromptBanError, "m"))
