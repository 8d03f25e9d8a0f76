"""Real photographs for the benchmarks, and how close two results are.

The photographs are the sample pictures that ship with scikit-image (`skimage.data`: the
astronaut, the coffee cup, Chelsea the cat, the rocket, ...), read from the package's own files,
scaled with Lanczos to cover 4000 by 3000 and cropped to it (a picture smaller than half the
target is tiled first, so that none is only a smooth blow-up), and saved as JPEGs once under
$(BUILD)/bench/photos.
"""

import math
import os

# Colour photographs first; grey ones are taken as RGB.
SAMPLES = ("astronaut.png", "coffee.png", "chelsea.png", "rocket.jpg", "motorcycle_left.png",
           "motorcycle_right.png", "hubble_deep_field.jpg", "retina.jpg", "ihc.png", "camera.png",
           "coins.png", "moon.png", "page.png", "horse.png", "brick.png", "grass.png", "gravel.png")

SIZE = (4000, 3000)
COUNT = 12


class NoPhotos(RuntimeError):
    """scikit-image's sample pictures are not installed here."""


def sample_dir():
    try:
        import skimage.data
    except ImportError as e:
        raise NoPhotos(f"scikit-image is not installed ({e})") from None
    return skimage.data.data_dir


def cover(img, size):
    """The picture scaled with Lanczos so that it covers `size`, then cropped to it, centred."""
    from PIL import Image

    w, h = size
    if img.width * 2 < w and img.height * 2 < h:
        # Tile a small picture 2 by 2 (mirrored, so the seams do not jump) before scaling.
        from PIL import ImageOps
        tile = Image.new("RGB", (img.width * 2, img.height * 2))
        tile.paste(img, (0, 0))
        tile.paste(ImageOps.mirror(img), (img.width, 0))
        tile.paste(ImageOps.flip(img), (0, img.height))
        tile.paste(ImageOps.flip(ImageOps.mirror(img)), (img.width, img.height))
        img = tile
    scale = max(w / img.width, h / img.height)
    sw, sh = max(w, round(img.width * scale)), max(h, round(img.height * scale))
    img = img.resize((sw, sh), Image.Resampling.LANCZOS)
    left, top = (sw - w) // 2, (sh - h) // 2
    return img.crop((left, top, left + w, top + h))


def photos(out_dir, count=COUNT, size=SIZE):
    """Paths of `count` JPEGs of `size` made from the sample photographs (made once)."""
    from PIL import Image

    d = os.path.join(out_dir, "photos")
    os.makedirs(d, exist_ok=True)
    paths = []
    names = [n for n in SAMPLES]
    source_dir = None
    for k in range(count):
        name = names[k % len(names)]
        path = os.path.join(d, f"{k:02d}_{os.path.splitext(name)[0]}_{size[0]}x{size[1]}.jpg")
        if not os.path.exists(path):
            source_dir = source_dir or sample_dir()
            src = os.path.join(source_dir, name)
            if not os.path.exists(src):
                raise NoPhotos(f"sample picture {name} is missing from {source_dir}")
            with Image.open(src) as im:
                img = cover(im.convert("RGB"), size)
            tmp = path + f".{os.getpid()}.tmp.jpg"
            img.save(tmp, quality=92)
            os.replace(tmp, path)
        paths.append(path)
    return paths


def psnr(a, b):
    """Peak signal-to-noise ratio in dB between two pictures of the same size, over their RGB
    values (inf when they are identical). ValueError when the sizes differ."""
    import numpy as np

    if a.size != b.size:
        raise ValueError(f"sizes differ: {a.size} and {b.size}")
    x = np.asarray(a.convert("RGB"), dtype=np.float64)
    y = np.asarray(b.convert("RGB"), dtype=np.float64)
    mse = float(np.mean((x - y) ** 2))
    return math.inf if mse == 0 else 10 * math.log10(255.0 ** 2 / mse)
