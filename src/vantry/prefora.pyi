from collections.abc import Iterable

from PIL import Image as Image
from PIL.Image import Resampling as Resampling

class PreforaImageScale:
    PREFERED_PREFORA_RESOLUTIONS: Iterable[tuple[int, int]]
    image: Image.Image
    def __init__(self, image: Image.Image) -> None: ...
    def start(self) -> Image.Image: ...
