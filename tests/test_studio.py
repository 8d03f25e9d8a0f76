"""The studio's server: token, Host and origin checks, paths that never become files, previews
(also many at once), looks saved into the looks file, exports, uploads, and the command."""

import http.client
import io
import json
import os
import signal
import subprocess
import sysconfig
import threading
import tomllib
from urllib.parse import urlencode

import pytest
from PIL import Image

from framewick import looks
from framewick.chain import Chain, ChainError
from framewick.cli._common import error_line
from framewick.status import BadValue
from framewick.studio import Studio
from studio_support import served_studio
from framewick.studio.lookfile import save_look

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")


def photo_file(tmp_path, name="photo.jpg", size=(320, 240), orientation=None):
    """A JPEG with a gradient (so steps change it), EXIF with an orientation, and a DPI."""
    im = Image.linear_gradient("L").resize(size).convert("RGB")
    im.paste((200, 40, 40), (0, 0, size[0] // 3, size[1]))
    exif = Image.Exif()
    exif[0x010F] = "framewick-test"  # Make
    if orientation:
        exif[0x0112] = orientation
    path = tmp_path / name
    im.save(path, "JPEG", exif=exif, dpi=(150, 150), quality=95)
    return str(path)


@pytest.fixture
def studio(tmp_path, monkeypatch):
    with served_studio(tmp_path, monkeypatch, photo_file(tmp_path), error_line=error_line) as served:
        yield served


def request(server, method, path, *, token=True, host=None, headers=None, body=None):
    """(status, headers, body bytes) of one request; the token goes into the query."""
    if token:
        path += ("&" if "?" in path else "?") + urlencode({"token": server.studio.token if token is True else token})
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    all_headers = {"Host": host or f"127.0.0.1:{server.port}", **(headers or {})}
    if isinstance(body, (dict, list)):
        body = json.dumps(body).encode()
        all_headers.setdefault("Content-Type", "application/json")
    connection.request(method, path, body=body, headers=all_headers)
    answer = connection.getresponse()
    data = answer.read()
    connection.close()
    return answer.status, dict(answer.getheaders()), data


def preview(server, steps="", size=None, photo=0, route="/preview"):
    query = {"photo": photo, "steps": steps, **({"size": size} if size else {})}
    return request(server, "GET", f"{route}?{urlencode(query)}")


def pixels(data):
    with Image.open(io.BytesIO(data)) as im:
        return im.convert("RGB").tobytes(), im.size


# ---------------------------------------------------------------------------------------------
# Who may ask


@pytest.mark.parametrize("token", [False, "", "wrong", "x" * 32])
@pytest.mark.parametrize("path", ["/", "/studio.js", "/api/state", "/preview?photo=0", "/nowhere"])
def test_a_request_without_the_token_is_refused(studio, path, token):
    status, _, body = request(studio[1], "GET", path, token=token)
    assert status == 403 and b"token" in body


def test_the_token_opens_the_page_and_its_files(studio):
    run, server = studio
    status, headers, page = request(server, "GET", "/")
    assert status == 200 and run.token.encode() in page and b"__TOKEN__" not in page
    assert "script-src 'self'" in headers["Content-Security-Policy"] and headers["Referrer-Policy"] == "no-referrer"
    for path, kind in [("/studio.js", "javascript"), ("/studio.css", "css")]:
        status, headers, _ = request(server, "GET", path)
        assert status == 200 and kind in headers["Content-Type"]
    status, _, _ = request(server, "GET", "/api/state", token=False, headers={"X-Studio-Token": run.token})
    assert status == 200


@pytest.mark.parametrize("host", ["evil.example", "evil.example:{port}", "127.0.0.1", "127.0.0.1:1",
                                  "localhost.evil.example:{port}", "[::1]:{port}", ""])
def test_another_host_is_refused(studio, host):
    server = studio[1]
    status, _, body = request(server, "GET", "/api/state", host=host.format(port=server.port) or " ")
    assert status == 403 and b"host" in body


def test_localhost_is_the_studio_too(studio):
    server = studio[1]
    assert request(server, "GET", "/api/state", host=f"localhost:{server.port}")[0] == 200


@pytest.mark.parametrize("headers", [{"Origin": "http://evil.example"}, {"Origin": "null"},
                                     {"Origin": "http://127.0.0.1:1"}, {"Sec-Fetch-Site": "cross-site"}])
@pytest.mark.parametrize("path", ["/api/look", "/api/export", "/api/chain", "/api/upload?kind=photo"])
def test_a_change_from_another_origin_is_refused(studio, tmp_path, headers, path):
    before = sorted(os.listdir(tmp_path / "out"))
    body = {"name": "evil", "steps": [{"method": "invert"}], "photo": 0}
    status, _, _ = request(studio[1], "POST", path, headers=headers, body=body)
    assert status == 403
    assert sorted(os.listdir(tmp_path / "out")) == before and not (tmp_path / "looks.toml").exists()


def test_a_change_from_the_page_itself_is_taken(studio):
    server = studio[1]
    status, _, body = request(server, "POST", "/api/chain", headers={"Origin": f"http://127.0.0.1:{server.port}",
                                                                      "Sec-Fetch-Site": "same-origin"},
                              body={"steps": [{"method": "apply_blur", "args": [3]}]})
    assert status == 200 and json.loads(body)["text"] == "blur:3"


def test_a_change_must_be_json(studio):
    # A form of another site can send text/plain without a preflight; the studio does not take it.
    status, _, _ = request(studio[1], "POST", "/api/look", headers={"Content-Type": "text/plain"},
                           body=b'{"name": "x", "steps": [{"method": "invert"}]}')
    assert status == 415


def test_an_upload_needs_the_token_header(studio, tmp_path):
    with open(photo_file(tmp_path, "up.jpg"), "rb") as f:
        data = f.read()
    status, _, _ = request(studio[1], "POST", "/api/upload?kind=photo&name=up.jpg", body=data,
                           headers={"Content-Type": "application/octet-stream"})
    assert status == 403


# ---------------------------------------------------------------------------------------------
# No part of a URL is a path


@pytest.mark.parametrize("path", ["/../../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/page/index.html",
                                  "/studio.js/../../../../etc/passwd", "/index.html", "//etc/passwd",
                                  "/preview/../../etc/passwd"])
def test_paths_outside_the_page_are_not_found(studio, path):
    status, _, body = request(studio[1], "GET", path)
    assert status == 404 and b"root:" not in body


@pytest.mark.parametrize("photo", ["../../etc/passwd", "/etc/passwd", "1", "-1", "0x0", "1e3"])
def test_photos_are_found_by_number_only(studio, photo):
    status, _, body = preview(studio[1], photo=photo)
    assert status in (400, 404) and b"photo" in body


@pytest.mark.parametrize("steps", ["lut:/etc/passwd", "lut:path=/etc/passwd,strength=0.5",
                                   "watermark:../../../../etc/passwd,(0,0)", "exposure:/etc/hostname",
                                   'invert | apply_lut:"/etc/passwd"', "logo:/etc/hostname",
                                   "place_watermark:position=top,watermark_path=/etc/hostname"])
def test_a_chain_naming_a_file_the_studio_was_not_given_is_refused(studio, steps, monkeypatch):
    opened = []
    real_open = Image.open
    monkeypatch.setattr(Image, "open", lambda fp, *a, **k: opened.append(fp) or real_open(fp, *a, **k))
    status, _, body = preview(studio[1], steps)
    assert status == 400
    assert not [fp for fp in opened if isinstance(fp, str) and fp.startswith("/etc")]
    assert b"the studio reads only the files given to it" in body


def test_a_json_chain_naming_a_file_is_refused_too(studio):
    steps = json.dumps([{"method": "apply_lut", "kwargs": {"path": "/etc/passwd"}}])
    status, _, body = preview(studio[1], steps)
    assert status == 400 and b"the studio reads only the files given to it" in body


# ---------------------------------------------------------------------------------------------
# Previews


@pytest.mark.parametrize("steps", ["blur:x", "resize:10", "nosuchstep", "preset:nosuchlook", "border:10 ||",
                                   "text:'unclosed", "look:missing"])
def test_a_bad_chain_is_400_with_the_chain_error_line(studio, steps):
    with pytest.raises(ChainError) as expected:
        Chain.parse(steps)
    status, headers, body = preview(studio[1], steps)
    assert status == 400 and headers["Content-Type"].startswith("text/plain")
    assert body.decode() == f"{expected.value}\n"


def test_a_preview_is_the_proxy_under_the_chain(studio):
    server = studio[1]
    status, headers, plain = preview(server)
    assert status == 200 and headers["Content-Type"] == "image/jpeg"
    plain_pixels, size = pixels(plain)
    assert size == (320, 240)
    inverted, _ = pixels(preview(server, "invert")[2])
    assert inverted != plain_pixels
    # the inverse of the inverse is the picture again (within JPEG's rounding)
    twice, _ = pixels(preview(server, "invert | invert")[2])
    assert max(abs(a - b) for a, b in zip(twice, plain_pixels)) < 12
    assert pixels(preview(server, "border:10", size=100)[2])[1] == (100, 76)
    assert pixels(preview(server, "fit:64,64")[2])[1] == (64, 64)


def test_the_proxy_is_at_most_1280_and_upright(tmp_path):
    run = Studio([photo_file(tmp_path, size=(2600, 1000), orientation=6)], looks_file=str(tmp_path / "l.toml"),
                 export_dir=str(tmp_path))
    proxy = run.proxy(0)
    assert proxy.image.height == 1280 and 490 <= proxy.image.width <= 495
    assert run.proxy(0) is proxy  # decoded once


def test_requests_on_one_kept_alive_connection_are_each_their_own(studio):
    run, server = studio
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    answers = []
    for steps in ["", "invert", "", "flip"]:
        connection.request("GET", f"/preview?{urlencode({'photo': 0, 'steps': steps, 'token': run.token})}",
                           headers={"Host": f"127.0.0.1:{server.port}"})
        answers.append(pixels(connection.getresponse().read())[0])
    connection.close()
    assert answers[0] == answers[2] and len({answers[0], answers[1], answers[3]}) == 3


@pytest.mark.parametrize("size", ["x", "0", "-5", "1e9"])
def test_a_bad_size_is_400(studio, size):
    assert preview(studio[1], "invert", size=size)[0] == 400


@pytest.mark.parametrize("error, line", [(BadValue("❌ Error: Invalid quality"), "❌ Error: Invalid quality"),
                                         (OSError("disk on fire"), "❌ Error: OSError: disk on fire")])
def test_a_step_failing_on_the_picture_is_its_error_line(studio, monkeypatch, error, line):
    from framewick.studio import preview as module

    def failing(*args, **kwargs):
        raise error

    monkeypatch.setattr(module.Plan, "run", failing)
    status, _, body = preview(studio[1], "invert")
    assert status == 422 and body.decode() == line + "\n"


def test_concurrent_previews_each_get_their_own_chain(studio):
    run, server = studio
    chains = ["invert", "blur:4", "preset:noir", "border:7,color=red", "rotate:30", "preset:sepia", "flip",
              "contrast:2.0", "gamma:2.2", "preset:dreamy"] * 2
    expected = {}
    for steps in set(chains):
        expected[steps] = pixels(preview(server, steps)[2])
    run._cache.clear()
    results, errors = {}, []

    def ask(i, steps):
        try:
            status, _, body = preview(server, steps)
            results[i] = (status, pixels(body))
        except Exception as e:  # reported below, with the chain
            errors.append((steps, e))

    threads = [threading.Thread(target=ask, args=(i, s)) for i, s in enumerate(chains)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for i, steps in enumerate(chains):
        assert results[i] == (200, expected[steps]), steps


# ---------------------------------------------------------------------------------------------
# The chain's text and command


def test_the_chain_endpoint_gives_text_command_and_reads_pasted_text(studio, tmp_path):
    run, server = studio
    status, _, body = request(server, "POST", "/api/chain", body={"text": "preset:noir | border:10,color=white"})
    answer = json.loads(body)
    assert status == 200 and answer["text"] == "preset:noir | border:10,color=white"
    assert answer["steps"] == [{"method": "apply_preset", "args": ["noir"]},
                               {"method": "apply_border", "args": [10], "kwargs": {"color": "white"}}]
    photo, out = run.sources[0].path, str(tmp_path / "out" / "photo-studio.jpg")
    assert answer["command"] == f"framewick edit {photo} -o {out} --steps 'preset:noir | border:10,color=white'"
    (tmp_path / "looks.toml").write_text("", encoding="utf-8")  # once there is a looks file, it is named
    status, _, body = request(server, "POST", "/api/chain", body={"text": "flip"})
    assert json.loads(body)["command"] == f"framewick --looks {tmp_path / 'looks.toml'} edit {photo} -o {out} --steps flip"
    # pasted JSON comes back in the page's own shape: methods by their own names, looks as presets
    status, _, body = request(server, "POST", "/api/chain", body={"text": '[{"method": "blur", "args": [3]}]'})
    assert json.loads(body)["steps"] == [{"method": "apply_blur", "args": [3]}]
    status, _, body = request(server, "POST", "/api/chain", body={"text": "blur:lots"})
    answer = json.loads(body)
    assert status == 400 and answer["line"].startswith("framewick edit: error: step 1 'blur': radius expects")


# ---------------------------------------------------------------------------------------------
# Looks


def test_save_a_look_then_replace_it_only_when_asked(studio, tmp_path):
    run, server = studio
    file = tmp_path / "looks.toml"
    file.write_text("# our looks\n[looks.kept]\nsteps = \"invert\"  # stays\n", encoding="utf-8")
    body = {"name": "Warmish", "description": "warm, then a frame", "replace": False,
            "steps": [{"method": "apply_preset", "args": ["warm"]}, {"method": "apply_border", "args": [4]}]}
    status, _, answer = request(server, "POST", "/api/look", body=body)
    assert status == 200 and json.loads(answer)["replaced"] is False
    data = tomllib.loads(file.read_text(encoding="utf-8"))
    assert data["looks"]["warmish"] == {"steps": "preset:warm | border:4", "description": "warm, then a frame"}
    assert data["looks"]["kept"] == {"steps": "invert"} and "# our looks" in file.read_text()
    assert looks.find("warmish") is not None
    status, _, answer = request(server, "POST", "/api/look", body={**body, "steps": [{"method": "invert"}]})
    assert status == 409 and tomllib.loads(file.read_text())["looks"]["warmish"]["steps"] == "preset:warm | border:4"
    status, _, answer = request(server, "POST", "/api/look", body={**body, "steps": [{"method": "invert"}],
                                                                   "replace": True})
    assert status == 200 and json.loads(answer)["replaced"] is True
    assert tomllib.loads(file.read_text())["looks"] == {"kept": {"steps": "invert"},
                                                        "warmish": {"steps": "invert",
                                                                    "description": "warm, then a frame"}}
    assert "# stays" in file.read_text()
    # the look is a step like any other now
    assert preview(server, "look:warmish")[0] == 200
    assert not [n for n in os.listdir(tmp_path) if n.startswith(".framewick-tmp")]


@pytest.mark.parametrize("name", ["vintage", "NOIR", "Cool", "", "has space", "../x", "-x", "a.b"])
def test_a_look_cannot_take_a_preset_name_or_a_bad_one(studio, tmp_path, name):
    status, _, answer = request(studio[1], "POST", "/api/look", body={"name": name, "steps": [{"method": "invert"}]})
    assert status == 400 and not (tmp_path / "looks.toml").exists()


def test_a_look_written_in_another_shape_is_not_replaced_blindly(tmp_path):
    file = tmp_path / "looks.toml"
    file.write_text('[looks]\nfilm = { steps = "invert" }\n', encoding="utf-8")
    with pytest.raises(ValueError, match="cannot replace safely"):
        save_look(str(file), "film", "flip", replace=True)
    assert file.read_text() == '[looks]\nfilm = { steps = "invert" }\n'


def test_a_look_with_quotes_and_backslashes_reads_back(tmp_path):
    file = tmp_path / "looks.toml"
    steps = 'text:"say \\"hi\\", \\\\ you",(5,5)'
    save_look(str(file), "quoted", steps, 'a "quoted"\tdescription')
    assert tomllib.loads(file.read_text())["looks"]["quoted"]["steps"] == steps


# ---------------------------------------------------------------------------------------------
# Exports and uploads


def test_export_is_full_size_upright_with_metadata_and_never_over_a_file(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
    source = photo_file(tmp_path, size=(2000, 1200), orientation=6)
    run = Studio([source], looks_file=str(tmp_path / "l.toml"), export_dir=str(tmp_path))
    first = run.export(0, [{"method": "apply_border", "args": [10]}])
    second = run.export(0, "border:10")
    assert first["path"] == str(tmp_path / "photo-studio.jpg") and second["path"] == str(tmp_path / "photo-studio-2.jpg")
    with Image.open(first["path"]) as im:
        assert im.size == (1220, 2020)  # turned upright, then framed
        exif = im.getexif()
        assert exif[0x010F] == "framewick-test" and exif.get(0x0112, 1) == 1
        assert im.info["dpi"] == (150, 150)
    with Image.open(source) as im:
        assert im.size == (2000, 1200)  # the input is as it was
    assert first["lines"][-1] == f"💾 Success: Image saved as '{first['path']}' ✅"


@pytest.mark.parametrize("steps, refused", [
    ("resize:400,300 | resize:40,30", "400x300"),  # past the limit halfway, back within it at the end
    ("border:2000", "4001x4001"),  # past it whatever the picture
    ("resize:200,150 | border:4", None),
])
def test_an_export_is_checked_at_every_step_before_it_runs(tmp_path, monkeypatch, steps, refused):
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
    source = photo_file(tmp_path, size=(64, 48))
    run = Studio([source], looks_file=str(tmp_path / "l.toml"), export_dir=str(tmp_path / "out"), max_pixels=100_000,
                 error_line=error_line)
    os.mkdir(tmp_path / "out")
    if refused is None:
        assert os.path.basename(run.export(0, steps)["path"]) in os.listdir(tmp_path / "out")
        return
    with pytest.raises(ChainError) as caught:
        run.export(0, steps)
    assert refused in str(caught.value) and "100,000" in str(caught.value)
    assert os.listdir(tmp_path / "out") == []


def test_uploads_are_capped_and_checked(studio, tmp_path):
    run, server = studio
    token = {"X-Studio-Token": run.token, "Content-Type": "application/octet-stream"}
    with open(photo_file(tmp_path, "second.jpg", size=(64, 48)), "rb") as f:
        data = f.read()
    status, _, answer = request(server, "POST", "/api/upload?kind=photo&name=../../second.jpg", body=data, headers=token)
    assert status == 200 and json.loads(answer) == {"photo": 1, "name": "second.jpg"}
    assert pixels(preview(server, "invert", photo=1)[2])[1] == (64, 48)
    status, _, answer = request(server, "POST", "/api/export", body={"photo": 1, "steps": [{"method": "invert"}]})
    exported = json.loads(answer)["path"]
    assert status == 200 and os.path.dirname(exported) == str(tmp_path / "out")
    assert os.path.basename(exported).startswith("upload-") and exported.endswith("-studio.jpg")
    status, _, answer = request(server, "POST", "/api/upload?kind=photo&name=x.jpg", body=b"not a picture", headers=token)
    assert status == 422 and "x.jpg" in json.loads(answer)["line"]
    run.max_pixels = 1000
    status, _, answer = request(server, "POST", "/api/upload?kind=photo&name=big.jpg", body=data, headers=token)
    assert status == 422 and "too large" in json.loads(answer)["line"]
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    connection.putrequest("POST", f"/api/upload?kind=photo&token={run.token}", skip_host=True)
    connection.putheader("Host", f"127.0.0.1:{server.port}")
    connection.putheader("X-Studio-Token", run.token)
    connection.putheader("Content-Length", str(1 << 40))
    connection.endheaders()
    assert connection.getresponse().status == 413
    connection.close()


def test_an_uploaded_lut_can_be_used_and_lands_in_the_export_folder(studio, tmp_path):
    from framewick.lut import write_cube

    run, server = studio
    write_cube(str(tmp_path / "swap.cube"), 2, lambda r, g, b: (b, g, r))
    data = (tmp_path / "swap.cube").read_bytes()
    headers = {"X-Studio-Token": run.token, "Content-Type": "application/octet-stream"}
    status, _, answer = request(server, "POST", "/api/upload?kind=lut&name=swap.cube", body=data, headers=headers)
    path = json.loads(answer)["path"]
    assert status == 200 and os.path.dirname(path) == str(tmp_path / "out" / "studio-files")
    assert preview(server, f'lut:"{path}",0.5')[0] == 200
    status, _, answer = request(server, "POST", "/api/upload?kind=lut&name=bad.cube", body=b"nonsense", headers=headers)
    assert status == 422 and os.listdir(tmp_path / "out" / "studio-files") == [os.path.basename(path)]


# ---------------------------------------------------------------------------------------------
# The command


def start_command(tmp_path, *args):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["XDG_CONFIG_HOME"] = str(tmp_path / "config")
    process = subprocess.Popen([SCRIPT, "studio", "--no-browser", *args], cwd=tmp_path, env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    return process, line


@pytest.mark.parametrize("stop, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_the_command_prints_its_address_and_stops_cleanly(tmp_path, stop, status):
    photo = photo_file(tmp_path)
    process, line = start_command(tmp_path, photo, "--port", "0")
    try:
        assert line.startswith("framewick studio: http://127.0.0.1:") and "/?token=" in line
        address = line.split(": ", 1)[1].strip()
        port = int(address.split(":")[2].split("/")[0])
        token = address.split("token=")[1]
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        connection.request("GET", f"/preview?photo=0&steps=invert&token={token}")
        assert connection.getresponse().status == 200
        connection.close()
    finally:
        process.send_signal(stop)
        out, err = process.communicate(timeout=30)
    assert process.returncode == status and "Traceback" not in err and out == ""


def test_the_command_saves_into_its_last_looks_file_even_a_new_one(tmp_path):
    photo = photo_file(tmp_path)
    (tmp_path / "team.toml").write_text('[looks.team]\nsteps = "invert"\n', encoding="utf-8")
    process, line = start_command(tmp_path, photo, "--looks", "team.toml", "--looks", "new.toml")
    try:
        address = line.split(": ", 1)[1].strip()
        port, token = int(address.split(":")[2].split("/")[0]), address.split("token=")[1]
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        connection.request("GET", f"/api/state?token={token}")
        state = json.loads(connection.getresponse().read())
        assert [look["name"] for look in state["looks"]] == ["team"]
        assert state["looks_file"] == str(tmp_path / "new.toml")
        connection.request("POST", f"/api/look?token={token}", body=json.dumps({"name": "mine", "steps": "flip"}),
                           headers={"Content-Type": "application/json"})
        assert connection.getresponse().read() and (tmp_path / "new.toml").exists()
        connection.close()
    finally:
        process.send_signal(signal.SIGINT)
        process.communicate(timeout=30)
    assert tomllib.loads((tmp_path / "new.toml").read_text())["looks"] == {"mine": {"steps": "flip"}}


def test_the_command_refuses_a_missing_photo_or_folder(tmp_path):
    for args, named in [(["missing.jpg"], "missing.jpg"), (["--export-dir", "nowhere"], "nowhere"),
                        (["--port", "70000"], "70000")]:
        process, _ = start_command(tmp_path, *args)
        _, err = process.communicate(timeout=30)
        assert process.returncode == 2 and named in err


# ---------------------------------------------------------------------------------------------
# The page's controls come from the step table


def test_every_step_and_parameter_of_the_table_has_a_control(studio):
    from framewick.steps import STEPS

    status, _, body = request(studio[1], "GET", "/api/state")
    state = json.loads(body)
    assert status == 200 and [s["method"] for s in state["steps"]] == [info.method for info in STEPS]
    controls = {(s["method"], p["name"]): p for s in state["steps"] for p in s["params"]}
    assert set(controls) == {(info.method, p.name) for info in STEPS for p in info.params}
    assert {k for k, p in controls.items() if p["control"] == "file"} == {
        ("apply_lut", "path"), ("add_watermark", "watermark_path"), ("double_exposure", "overlay_image_path"),
        ("place_watermark", "watermark_path")}
    assert controls["apply_grayscale", "factor"].items() >= {"control": "slider", "min": 0.0, "max": 1.0, "default": 1.0}.items()
    assert controls["optimize", "quality"].items() >= {"control": "slider", "min": 1.0, "max": 100.0}.items()
    assert controls["flip", "direction"]["choices"] == ["horizontal", "vertical"]
    assert controls["apply_border", "color"]["control"] == "colour"
    assert controls["rotate", "expand"]["control"] == "switch"
    # a required parameter starts from a value its rule takes
    for (method, name), p in controls.items():
        if p["required"] and p["control"] == "slider":
            assert p["min"] <= p["start"] <= p["max"], (method, name)
    assert state["presets"][0] == "vintage" and state["photos"] == [{"index": 0, "name": "photo.jpg"}]


def test_words_and_ranges_the_table_adds_are_passed_on():
    from dataclasses import dataclass

    from framewick.studio.controls import control

    @dataclass(frozen=True)
    class Described:
        name: str
        kind: str
        default: object
        low: float = -5.0
        high: float = 5.0
        unit: str = "stops"
        direction: str = "above 0 brightens"
        example: float = 1.5
        required: bool = False

    got = control("exposure_step", Described("stops", "float", 0.0))
    assert got.items() >= {"control": "slider", "min": -5.0, "max": 5.0, "unit": "stops",
                           "direction": "above 0 brightens", "example": 1.5}.items()
