from PIL import Image as Image
from PIL.Image import Resampling as Resampling

def image_resize(
    image: Image.Image, target_w: int, target_h: int, bg_color: tuple[int, int, int] | str | int = (0, 0, 0)
) -> Image.Image: ...
