"""Make the README's studio screenshot (docs/studio.png) as a user sees the studio.

Run it inside the project's root from the folder that holds the photo (a plain folder, as a
user's), with the project installed and a fresh home (the page shows the looks file under it):

    tools/devroot build/venv/bin/python tools/studio_screenshot.py PHOTO OUT.png

docs/studio.png was made in /home/ada/photos, the root entered with bubblewrap as tools/devroot
does, plus `--tmpfs /home --bind DIR /home/ada/photos --chdir /home/ada/photos --setenv HOME
/home/ada`, and `coffee.jpg docs/studio.png` (the output path absolute). coffee.jpg is the coffee
photograph of scikit-image's sample data (`skimage/data/coffee.png` in Debian's python3-skimage,
which the benchmark root carries), saved as a JPEG at quality 92.

PHOTO is made when it does not exist: a lake at dusk, rendered with NumPy (fractal ridges, sky,
clouds, a rippled reflection, grain), for a root that ships no photograph. The studio is served
on a free loopback port and driven in headless chromium: the vintage look at half strength and a
border, the before/after split at 40 %. The shot is kept as a 256-colour PNG.
"""

from __future__ import annotations

import io
import os
import sys
import tempfile
import threading

import numpy as np
from PIL import Image, ImageFilter

WIDTH, HEIGHT = 1600, 1067
COLOURS = 256  # the screenshot's palette (with fewer, the sky shows bands)


def _noise(rng: np.random.Generator, shape: tuple[int, int], octaves: int, base: int) -> np.ndarray:
    """Fractal value noise in [0, 1]: `octaves` layers of smoothly enlarged random grids."""
    out = np.zeros(shape)
    weight, total = 1.0, 0.0
    for octave in range(octaves):
        cells = (max(2, shape[0] * (2 ** octave) // base), max(2, shape[1] * (2 ** octave) // base))
        grid = Image.fromarray((rng.random(cells) * 255).astype(np.uint8))
        layer = np.asarray(grid.resize((shape[1], shape[0]), Image.Resampling.BICUBIC), dtype=float) / 255
        out += weight * layer
        total += weight
        weight *= 0.5
    return out / total


def _ridge(rng: np.random.Generator, width: int, octaves: int, roughness: float) -> np.ndarray:
    """A mountain ridge's height profile in [0, 1] (1-D fractal noise, midpoint style)."""
    profile = np.zeros(width)
    amplitude = 1.0
    for octave in range(octaves):
        points = 2 ** (octave + 2) + 1
        knots = rng.random(points) * amplitude
        profile += np.interp(np.linspace(0, points - 1, width), np.arange(points), knots)
        amplitude *= roughness
    profile -= profile.min()
    return profile / profile.max()


def render_lake(path: str, seed: int = 7) -> None:
    """A photograph-like lake at dusk: warm sky, clouds, three ridges fading with distance, a
    dark shore, the scene mirrored in rippled water with a glitter path under the sun."""
    rng = np.random.default_rng(seed)
    h, w = HEIGHT, WIDTH
    horizon = int(h * 0.56)
    y = np.linspace(0, 1, horizon)[:, None]
    x = np.linspace(0, 1, w)[None, :]
    sun_x, sun_y = 0.63, 0.80
    # Sky: deep blue overhead to orange at the horizon, a glow around the sun, lit clouds.
    top, low = np.array([38, 62, 112]), np.array([250, 168, 92])
    t = y ** 1.6
    sky = top * (1 - t[..., None]) + low * t[..., None] * np.ones((1, w, 1))
    glow = np.exp(-(((x - sun_x) * 1.6) ** 2 + ((y - sun_y) * 2.4) ** 2) * 9)[..., None]
    sky = sky + glow * np.array([120, 80, 30])
    clouds = _noise(rng, (horizon, w), 6, 64)
    band = np.clip((clouds - 0.52) * 4, 0, 1) * np.clip(1 - np.abs(y - 0.45) * 2.2, 0, 1)
    lit = np.array([255, 190, 150]) * (0.55 + 0.45 * glow) + np.array([70, 50, 70]) * (1 - glow)
    sky = sky * (1 - band[..., None] * 0.75) + lit * band[..., None] * 0.75
    sun = np.exp(-(((x - sun_x) * w) ** 2 + ((y - sun_y) * horizon) ** 2) / (2 * 18.0 ** 2))[..., None]
    sky = sky + sun * 255
    land = sky.copy()
    # Ridges: far ones pale and blue-grey, near ones dark and textured.
    rows = np.arange(horizon)[:, None]
    texture = _noise(rng, (horizon, w), 5, 24)
    for depth, (height, colour, haze) in enumerate([(0.20, (120, 110, 130), 0.55), (0.14, (70, 66, 82), 0.35),
                                                     (0.08, (28, 32, 36), 0.08)]):
        profile = _ridge(rng, w, 7, 0.55)
        top_row = horizon - (0.25 + 0.75 * profile) * height * h
        mask = rows >= top_row[None, :]
        shade = np.array(colour) * (0.8 + 0.4 * texture[..., None] * (1 - haze))
        hazy = shade * (1 - haze) + sky * haze
        land = np.where(mask[..., None], hazy, land)
    # Water: the land and sky mirrored, rippled sideways, darker and bluer, glitter under the sun.
    depth_rows = h - horizon
    d = np.linspace(0, 1, depth_rows)[:, None]
    ripple = (_noise(rng, (depth_rows, w), 4, 12) - 0.5) * (4 + 40 * d)
    source_rows = np.clip(horizon - 1 - (np.arange(depth_rows)[:, None] * 0.9).astype(int), 0, horizon - 1)
    source_cols = np.clip((np.arange(w)[None, :] + ripple).astype(int), 0, w - 1)
    water = land[source_rows, source_cols] * (0.72 - 0.25 * d[..., None]) + np.array([8, 16, 26]) * d[..., None]
    glitter = (np.exp(-((x - sun_x) * (5 + 10 * (1 - d))) ** 2 * 20) * np.clip((_noise(rng, (depth_rows, w), 3, 6)
                                                                                - 0.6) * 6, 0, 1))
    water = water + glitter[..., None] * np.array([255, 200, 140]) * (1 - d[..., None] * 0.6)
    picture = np.concatenate([land, water], axis=0)
    # Shore in the foreground: a dark bank with reeds of noise along its edge.
    shore = (h * (0.90 + 0.05 * _ridge(rng, w, 6, 0.6)))[None, :]
    bank = np.arange(h)[:, None] >= shore - 40 * rng.random((1, w)) ** 6
    picture = np.where(bank[..., None], np.array([14, 16, 14]) + picture * 0.05, picture)
    # Camera: a slight vignette, lens softness and film grain.
    yy, xx = np.mgrid[0:h, 0:w]
    vignette = 1 - 0.35 * (((xx / w - 0.5) ** 2 + (yy / h - 0.5) ** 2) * 2)
    picture = picture * vignette[..., None] + rng.normal(0, 1.0, picture.shape)
    image = Image.fromarray(np.clip(picture, 0, 255).astype(np.uint8)).filter(ImageFilter.GaussianBlur(0.7))
    image.save(path, "JPEG", quality=90)


def shoot(photo: str, out: str) -> None:
    """Serve the studio on `photo`, shape the look in headless chromium and keep the screenshot."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait

    from framewick import looks
    from framewick.studio import Studio, serve

    private = tempfile.mkdtemp(prefix="framewick-shot-")
    looks.reset()
    run = Studio([photo], looks_file=looks.default_path(), export_dir=".")
    server = serve(run, 0)
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--no-first-run",
                     f"--user-data-dir={private}/chromium", "--window-size=1500,950"]:
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        def shown(text: str) -> None:
            WebDriverWait(driver, 120).until(lambda d: d.execute_script(
                "return document.body.dataset.ready && !document.body.dataset.busy"
                " && document.getElementById('after').dataset.text === arguments[0]", text))

        driver.get(server.url)
        shown("")
        driver.find_element(By.CSS_SELECTOR, '#presets .thumb[data-name="vintage"]').click()
        shown("preset:vintage")
        strength = driver.find_element(By.CSS_SELECTOR, '#chain li[data-method="apply_preset"] '
                                                        '.param[data-param="strength"] input[type=range]')
        strength.send_keys(Keys.HOME)
        for _ in range(10):
            strength.send_keys(Keys.ARROW_RIGHT)
        shown("preset:vintage,strength=0.5")
        driver.find_element(By.CSS_SELECTOR, '#add-step option[value="apply_border"]').click()
        driver.find_element(By.ID, "add").click()
        shown("preset:vintage,strength=0.5 | border:10")
        driver.execute_script("document.getElementById('split').value = 40;"
                              "document.getElementById('split').dispatchEvent(new Event('input'))")
        png = driver.get_screenshot_as_png()
    finally:
        driver.quit()
        server.shutdown()
        server.server_close()
    with Image.open(io.BytesIO(png)) as shot:
        shot.convert("RGB").quantize(COLOURS, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE) \
            .save(out, optimize=True)


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    photo, out = argv
    if not os.path.exists(photo):
        render_lake(photo)
    shoot(photo, out)
    print(f"studio screenshot: {out} ({os.path.getsize(out)} bytes) of {photo}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
