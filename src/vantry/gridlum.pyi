import math as math
from typing import ClassVar, TypedDict, type_check_only

from vantry.excode import ServiceError as ServiceError

# The shape of calc_size's result, for annotations; at run time the result is a plain dict.
@type_check_only
class SizeResult(TypedDict):
    width: int
    height: int
    size: str
    pixels: int
    aspect_ratio: str
    resolution: str
    valid: bool

class GridlumSizeCalculator:
    MIN_PIXELS: ClassVar[int]
    MAX_PIXELS: ClassVar[int]
    MAX_EDGE: ClassVar[int]
    MULTIPLE: ClassVar[int]
    MAX_RATIO: ClassVar[float]
    RESOLUTION_PRESET: ClassVar[dict[str, int]]
    def __init__(self) -> None: ...
    @classmethod
    def round_to_multiple(cls, value: float, multiple: float | None = None) -> int: ...
    @classmethod
    def floor_to_multiple(cls, value: float, multiple: float | None = None) -> int: ...
    @classmethod
    def is_valid_image_size(cls, width: float, height: float) -> bool: ...
    @classmethod
    def calc_size(cls, aspect_ratio: str = "1:1", resolution: str = "2k", strict: object = False) -> SizeResult: ...
