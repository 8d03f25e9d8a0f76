"""The studio in a real browser (Debian's chromium, headless, driven by selenium): shape a look by
hand, watch the preview, undo, save it, export, and be refused without the token.

The README's screenshot is made by tools/studio_screenshot.py, on a photo in a plain folder."""

import os
import shutil
import tomllib

import pytest
from PIL import Image, ImageDraw

from studio_support import served_studio

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"

webdriver = pytest.importorskip("selenium.webdriver", reason="python3-selenium is not installed")
if not (os.access(CHROMIUM, os.X_OK) and os.access(DRIVER, os.X_OK)):
    pytest.skip("chromium and chromium-driver are not installed", allow_module_level=True)

from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

SAMPLE = """
const img = document.getElementById(arguments[0]);
const c = document.createElement("canvas");
c.width = img.naturalWidth; c.height = img.naturalHeight;
const g = c.getContext("2d");
g.drawImage(img, 0, 0);
const d = g.getImageData(0, 0, c.width, c.height).data;
const out = [];
for (let i = 0; i < d.length; i += 4 * 97) out.push(d[i], d[i + 1], d[i + 2]);
return out;
"""


def scene(path, size=(1600, 1200)):
    """A photo-like picture: a sky, a sun, hills; EXIF with a camera name and orientation 6."""
    width, height = size
    im = Image.new("RGB", size)
    draw = ImageDraw.Draw(im)
    for y in range(height):
        t = y / height
        draw.line([(0, y), (width, y)], fill=(int(70 + 150 * t), int(120 + 60 * t), int(220 - 120 * t)))
    draw.ellipse((width * 0.6, height * 0.15, width * 0.8, height * 0.42), fill=(255, 210, 90))
    draw.polygon([(0, height), (0, height * 0.7), (width * 0.35, height * 0.5), (width * 0.7, height * 0.75),
                  (width, height * 0.6), (width, height)], fill=(40, 110, 60))
    im = im.transpose(Image.Transpose.ROTATE_90)  # stored sideways; orientation 6 turns it back
    exif = Image.Exif()
    exif[0x010F] = "framewick-camera"
    exif[0x0112] = 6
    im.save(path, "JPEG", exif=exif, quality=92)
    return str(path)


@pytest.fixture
def browser(tmp_path):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     f"--user-data-dir={tmp_path / 'chromium'}", "--window-size=1500,950"]:
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    driver.set_script_timeout(30)
    yield driver
    driver.quit()


@pytest.fixture
def studio(tmp_path, monkeypatch):
    with served_studio(tmp_path, monkeypatch, scene(tmp_path / "hills.jpg")) as served:
        yield served


def shown(driver, text):
    """Wait until the page shows the preview of chain `text`, then return its sampled pixels."""
    WebDriverWait(driver, 60).until(lambda d: d.execute_script(
        "return document.body.dataset.ready && !document.body.dataset.busy"
        " && document.getElementById('after').dataset.text === arguments[0]", text))
    return driver.execute_script(SAMPLE, "after")


def distance(a, b):
    return max(abs(x - y) for x, y in zip(a, b))


def mean_distance(a, b):
    return sum(abs(x - y) for x, y in zip(a, b)) / len(a)


def slider(driver, method, param):
    return driver.find_element(By.CSS_SELECTOR, f'#chain li[data-method="{method}"] .param[data-param="{param}"] '
                                                'input[type=range]')


def test_shape_a_look_in_the_browser(browser, studio, tmp_path):
    run, server = studio
    browser.get(server.url)
    original = shown(browser, "")
    assert browser.find_element(By.ID, "text").get_attribute("value") == ""

    # Add a step from the step table; its slider comes from the table's range (0 to 1).
    browser.find_element(By.CSS_SELECTOR, '#add-step option[value="apply_grayscale"]').click()
    browser.find_element(By.ID, "add").click()
    grey = shown(browser, "grayscale")
    assert distance(grey, original) > 40
    factor = slider(browser, "apply_grayscale", "factor")
    assert (factor.get_attribute("min"), factor.get_attribute("max")) == ("0", "1")
    factor.send_keys(Keys.HOME)  # factor 0: no grey at all
    none = shown(browser, "grayscale:factor=0.0")
    assert distance(none, grey) > 40 and distance(none, original) <= 8

    # Undo (Ctrl+Z) brings the grey back, and again the picture as it was; redo with the button.
    browser.find_element(By.TAG_NAME, "h1").click()
    ActionChains(browser).key_down(Keys.CONTROL).send_keys("z").key_up(Keys.CONTROL).perform()
    assert distance(shown(browser, "grayscale"), grey) <= 8
    browser.find_element(By.ID, "undo").click()
    assert distance(shown(browser, ""), original) <= 8
    ActionChains(browser).key_down(Keys.CONTROL).key_down(Keys.SHIFT).send_keys("z").key_up(Keys.SHIFT) \
        .key_up(Keys.CONTROL).perform()
    shown(browser, "grayscale")
    browser.find_element(By.CSS_SELECTOR, '#chain li[data-method="apply_grayscale"] button[title="remove"]').click()
    shown(browser, "")

    # A preset from its thumbnail, at half strength.
    browser.find_element(By.CSS_SELECTOR, '#presets .thumb[data-name="vintage"]').click()
    full = shown(browser, "preset:vintage")
    strength = slider(browser, "apply_preset", "strength")
    strength.send_keys(Keys.HOME)
    for _ in range(10):
        strength.send_keys(Keys.ARROW_RIGHT)
    half = shown(browser, "preset:vintage,strength=0.5")
    middle = [(a + b) / 2 for a, b in zip(original, full)]
    assert mean_distance(half, middle) <= 3 and mean_distance(half, full) > 10

    # A frame around it, then the chain as text and as a command.
    browser.find_element(By.CSS_SELECTOR, '#add-step option[value="apply_border"]').click()
    browser.find_element(By.ID, "add").click()
    text = "preset:vintage,strength=0.5 | border:10"
    shown(browser, text)
    command = browser.find_element(By.ID, "command").get_attribute("value")
    assert command == f"framewick edit {tmp_path / 'hills.jpg'} -o {tmp_path / 'out' / 'hills-studio.jpg'} " \
                      f"--steps '{text}'"

    # Save as a look; saving again asks before replacing.
    browser.find_element(By.ID, "look-name").send_keys("halfvintage")
    browser.find_element(By.ID, "look-description").send_keys("vintage at half strength, framed")
    browser.find_element(By.ID, "save-look").click()
    WebDriverWait(browser, 30).until(lambda d: "saved" in d.find_element(By.ID, "result").text)
    saved = tomllib.loads((tmp_path / "looks.toml").read_text(encoding="utf-8"))["looks"]["halfvintage"]
    assert saved == {"steps": text, "description": "vintage at half strength, framed"}
    WebDriverWait(browser, 30).until(lambda d: d.find_elements(By.CSS_SELECTOR, '#looks .thumb[data-name="halfvintage"]'))
    browser.find_element(By.ID, "save-look").click()
    WebDriverWait(browser, 30).until(lambda d: _alert(d))
    browser.switch_to.alert.accept()
    WebDriverWait(browser, 30).until(lambda d: "replaced" in d.find_element(By.ID, "result").text)

    # Export: full size, upright, with its metadata, beside (never over) the input.
    browser.find_element(By.ID, "export").click()
    WebDriverWait(browser, 60).until(lambda d: d.execute_script("return document.body.dataset.exported"))
    exported = browser.execute_script("return document.body.dataset.exported")
    assert exported == str(tmp_path / "out" / "hills-studio.jpg")
    with Image.open(exported) as im:
        assert im.size == (1620, 1220)
        exif = im.getexif()
        assert exif[0x010F] == "framewick-camera" and exif.get(0x0112, 1) == 1
        top_left, bottom = im.getpixel((40, 40)), im.getpixel((800, 1180))
        assert top_left[2] > bottom[2]  # the sky is at the top: upright

    # The page's own requests carry the token; one without it is refused.
    status = browser.execute_async_script(
        "const done = arguments[0]; fetch('/api/state').then((r) => done(r.status))")
    assert status == 403
    browser.get(f"http://127.0.0.1:{server.port}/")
    assert "token" in browser.find_element(By.TAG_NAME, "body").text


def _alert(driver):
    try:
        return driver.switch_to.alert
    except Exception:
        return False


def test_a_bad_chain_shows_the_command_line_error(browser, studio):
    browser.get(studio[1].url)
    shown(browser, "")
    field = browser.find_element(By.ID, "text")
    field.clear()
    field.send_keys("preset:vintage | blur:lots")
    browser.find_element(By.ID, "load-text").click()
    WebDriverWait(browser, 30).until(lambda d: d.find_element(By.ID, "error").is_displayed())
    assert browser.find_element(By.ID, "error").text == \
        "framewick edit: error: step 2 'blur': radius expects an integer, e.g. 800, got 'lots'"
