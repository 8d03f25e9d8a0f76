"""HEIF and HEIC pictures (as phones save them) in Pillow, through framewick's libheif module.

Reading: the primary image (a grid of tiles included), upright by the container's own rotation
and mirror (`irot`, `imir`), 10- and 12-bit pictures scaled to 8 bits, alpha kept (RGBA). When
the container turned the picture, the EXIF orientation tag (which on a phone's file describes
the same turn) is reset to 1 so that nothing turns it twice; a file with a tag and no `irot` is
left to the tag, as a JPEG is. `info["heif"]["orientation"]` is the container's turn as the EXIF
orientation that describes it (1: none), for a caller that wants the pixels as stored. EXIF, XMP and the colour (an ICC profile, or the nclx
description as an equivalent ICC profile) go into `info`; `info["heif"]` says what else the
file holds (bit depth, top-level images, depth map, gain map, thumbnails), none of it decoded.

Shrink-on-load: `draft(mode, size)` takes the smallest embedded thumbnail that is at least `size`
on both sides and shows the same picture: the primary's aspect within a pixel of rounding (and of even sides), the
same rotations and mirrors, the same mode and 8 bits, and no flat bar along an edge (a
letterboxed thumbnail is the picture in a box, not the picture). It is decoded there and then
(it is small) so that a refused one leaves the primary to be decoded as before.

Writing: HEVC through x265 at `quality` (default 90), with `exif`, `xmp` and `icc_profile`;
`subsampling` "4:2:0" (x265's own, as without it), "4:2:2" or "4:4:4" sets the chroma it codes.
The pixels are stored as given, under the turn the EXIF orientation describes, written as
`irot`/`imir` (HEIF readers go by those, not by the tag); the tag is kept, saying the same turn,
as a camera writes it. `heif_orientation` (1 to 8) names the turn instead of the tag.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import IO, Any

from PIL import Image, ImageFile

from framewick.formats import _heif, is_heif, rows, tags  # _heif: ImportError when built without libheif
from framewick.formats.previews import letterboxed, same_aspect

__all__ = ["PROVIDER", "HeifImageFile", "register"]

FORMAT = "HEIF"
PROVIDER = f"framewick (libheif {_heif.LIBHEIF_VERSION})"
EXTENSIONS = (".heic", ".heif", ".hif", ".heics", ".heifs")
MIME = "image/heic"

_BAND_BYTES = 1 << 20  # rows converted to RGB at a time
# What each of libheif's transformations does to the picture, as Pillow's transpose.
_TRANSFORMS = {
    "rotate-90": Image.Transpose.ROTATE_90,  # both counter-clockwise
    "rotate-180": Image.Transpose.ROTATE_180,
    "rotate-270": Image.Transpose.ROTATE_270,
    "mirror-vertical": Image.Transpose.FLIP_TOP_BOTTOM,
    "mirror-horizontal": Image.Transpose.FLIP_LEFT_RIGHT,
}
# The transpose that turns a picture stored under each EXIF orientation upright.
_UPRIGHT = {1: None, 2: Image.Transpose.FLIP_LEFT_RIGHT, 3: Image.Transpose.ROTATE_180,
            4: Image.Transpose.FLIP_TOP_BOTTOM, 5: Image.Transpose.TRANSPOSE, 6: Image.Transpose.ROTATE_270,
            7: Image.Transpose.TRANSVERSE, 8: Image.Transpose.ROTATE_90}


def container_orientation(transforms: Any) -> int:
    """The EXIF orientation (1 to 8) that turns a picture as the container's rotations and mirrors,
    applied in their order, do: followed on a 3x2 picture of distinct pixels and matched."""
    probe = Image.frombytes("L", (3, 2), bytes(range(6)))
    shown = probe
    for name in transforms:
        method = _TRANSFORMS.get(name)
        if method is not None:
            shown = shown.transpose(method)
    for orientation, method in _UPRIGHT.items():
        turned = probe if method is None else probe.transpose(method)
        if turned.size == shown.size and turned.tobytes() == shown.tobytes():
            return orientation
    raise AssertionError("every composition of quarter turns and mirrors is an EXIF orientation")


def _accept(prefix: bytes) -> bool:
    return is_heif(prefix)


def _pixel_limit() -> int:
    """framewick's default limit as libheif's (the point where Pillow refuses a picture); 0:
    libheif's own."""
    from framewick.steps.rules import pixel_limit

    return pixel_limit() or 0


class HeifImageFile(rows.Fresh, ImageFile.ImageFile):
    format = FORMAT
    format_description = "HEIF/HEIC (libheif)"

    #: The pixel limit handed to libheif's security limits (set by `_open` from Pillow's own;
    #: a caller with a limit of its own may set it before loading).
    pixel_limit = 0

    def _open(self) -> None:
        assert self.fp is not None
        if not is_heif(self.fp.read(12)):
            raise SyntaxError("not a HEIF file")
        self.fp.seek(0)
        self._data: bytes | None = self.fp.read()
        # The header is read under libheif's own limits: the size is checked right after (by
        # Image.open against Pillow's limit, or by framewick's open against the call's own), and
        # the decode gets `pixel_limit`, which a caller with a limit of its own replaces.
        self.pixel_limit = _pixel_limit()
        try:
            found = _heif.read(self._data, 0)
        except _heif.LimitError as error:
            raise Image.DecompressionBombError(f"libheif's security limits refused it: {error}") from None
        self._size = (found["width"], found["height"])
        self._mode = found["mode"]
        exif, xmp = found["exif"], found["xmp"]
        if found["transformed"]:
            # libheif applies irot/imir; the tag describes the same turn and must not turn again.
            if exif:
                exif = tags.with_orientation(exif, 1)
            if xmp:
                xmp = tags.xmp_with_orientation(xmp, 1)
        if exif:
            self.info["exif"] = exif
        if xmp:
            self.info["xmp"] = xmp
        if found["icc"]:
            self.info["icc_profile"] = found["icc"]
        self.info["heif"] = {
            "brand": found["brand"],
            "bit_depth": found["bit_depth"],
            "images": found["images"],
            "depth_map": found["depth"],
            "gain_map": found["gain_map"],
            "thumbnail": found["thumbnails"] > 0,
            "thumbnails": tuple((t["width"], t["height"]) for t in found.get("thumbs", ())),
            "colour": found["colour"],
            "colour_from_nclx": found["colour_name"],
            "turned_by_container": found["transformed"],
            "orientation": container_orientation(found.get("transforms", ())),
        }
        self._thumbs = found.get("thumbs", ())
        self._transforms = tuple(found.get("transforms", ()))
        self._bit_depth = found["bit_depth"]
        self._thumbnail: Image.Image | None = None
        self.tile = [rows.tile(self.size, None)]

    def draft(self, mode: str | None, size: tuple[int, int] | None,
              accept: Any = None) -> tuple[str, tuple[int, int, float, float]] | None:
        """Decode from the smallest embedded thumbnail of the same picture that is at least `size`
        (as the container shows it) on both sides; `accept`, when given, must also agree to
        its size. None (and the primary kept) when no thumbnail serves."""
        if size is None or self._data is None or self._thumbnail is not None or self._bit_depth > 8:
            return None
        full = self.size
        fitting = sorted((t["width"] * t["height"], index) for index, t in enumerate(self._thumbs)
                         if t["mode"] == self.mode and t["bit_depth"] <= 8
                         and tuple(t["transforms"]) == self._transforms
                         and t["width"] >= size[0] and t["height"] >= size[1] and (t["width"], t["height"]) != full
                         and same_aspect(full, (t["width"], t["height"]))
                         and (accept is None or accept((t["width"], t["height"]))))
        for _, index in fitting:
            try:
                mode_, (width, height), decoded = _heif.decoder(self._data, self.pixel_limit, thumbnail=index)
            except _heif.HeifError:
                continue  # a broken thumbnail: the primary is still there
            if mode_ != self.mode or (width, height) != (self._thumbs[index]["width"], self._thumbs[index]["height"]):
                continue
            thumb = Image.frombytes(mode_, (width, height), _heif.rows(decoded, 0, height))
            del decoded
            if letterboxed(thumb):
                continue
            self._thumbnail = thumb
            self._size = thumb.size
            self.tile = [rows.tile(self.size, None)]
            return self.mode, (0, 0, full[0], full[1])
        return None

    def load(self) -> Any:
        if self.tile:
            self.tile = [rows.tile(self.size, self._fill)]
        try:
            return super().load()
        finally:
            if self.tile:  # a failed decode: nothing is decoded again, nothing is kept alive
                self.tile = [rows.tile(self.size, None)]

    def _fill(self, decoder: rows.RowDecoder) -> None:
        """Decode the file and hand its rows to Pillow a band at a time: the picture is held as
        decoded (YCbCr) and in Pillow's memory, never a third time as one block of RGB."""
        data, self._data = self._data, None
        thumb, self._thumbnail = self._thumbnail, None
        if thumb is not None:
            decoder.put(thumb.tobytes())
            return
        if data is None:
            raise OSError("the HEIF picture cannot be decoded again after a failed decode")
        try:
            mode, size, decoded = _heif.decoder(data, self.pixel_limit)
        except _heif.LimitError as error:
            raise Image.DecompressionBombError(f"libheif's security limits refused it: {error}") from None
        del data  # the file's bytes are not needed once decoded
        width, height = size
        if mode != self.mode or (width, height) != self.size:
            raise OSError(f"decoded {mode} {width}x{height}, the file said {self.mode} "
                          f"{self.size[0]}x{self.size[1]}")
        count = max(1, _BAND_BYTES // (width * len(mode)))
        for row in range(0, height, count):
            decoder.put(_heif.rows(decoded, row, min(count, height - row)))


def _save(im: Image.Image, fp: IO[bytes], filename: str | bytes) -> None:
    info = im.encoderinfo
    quality = int(info.get("quality", 90))
    if not 0 <= quality <= 100:
        raise ValueError(f"HEIF quality must be 0 to 100, not {quality}")
    picture = im
    if picture.mode not in ("L", "LA", "RGB", "RGBA"):
        alpha = "A" in picture.getbands() or (picture.mode == "P" and "transparency" in picture.info)
        picture = picture.convert("RGBA" if alpha else "RGB")
    exif = info.get("exif", im.info.get("exif"))
    if isinstance(exif, Image.Exif):
        exif = exif.tobytes()
    xmp = info.get("xmp", im.info.get("xmp"))
    if isinstance(xmp, str):
        xmp = xmp.encode("utf-8")
    icc = info.get("icc_profile", im.info.get("icc_profile"))
    gain = {key: info[key] for key in ("gain_map", "headroom") if info.get(key) is not None}
    if info.get("subsampling") is not None:  # x265's chroma: "4:2:0" (its own), "4:2:2", "4:4:4"
        gain["subsampling"] = info["subsampling"]

    # The pixels are taken as stored: the turn the EXIF orientation describes (or the
    # `heif_orientation` a caller gives, which the tag is then made to say) becomes irot/imir,
    # which HEIF readers go by.
    orientation = info.get("heif_orientation")
    if orientation is None:
        orientation = tags.orientation(exif)
    elif exif:
        exif = tags.with_orientation(exif, int(orientation))

    def encode(picture: Image.Image, icc: bytes | None) -> bytes:
        return _heif.encode(picture.tobytes(), picture.mode, picture.width, picture.height, quality, exif or None,
                            xmp or None, icc or None, int(orientation), **gain)

    fp.write(grey_or_colour(picture, icc, encode))


def grey_or_colour(picture: Image.Image, icc: bytes | None, encode: Callable[[Image.Image, bytes | None], bytes]) -> bytes:
    """`encode(picture, icc)`, a grey picture (L, LA) coded monochrome; where the encoder
    refuses monochrome, the same picture as RGB(A) (a grey profile left out: it describes no
    RGB), as HEIC was always written."""
    if picture.mode not in ("L", "LA"):
        return encode(picture, icc)
    try:
        return encode(picture, icc)
    except _heif.HeifError:
        pass
    colour = picture.convert("RGBA" if picture.mode == "LA" else "RGB")
    # An ICC header names its colour space at bytes 16-20: only an RGB profile goes with RGB.
    return encode(colour, icc if icc and icc[16:20] == b"RGB " else None)


def register() -> None:
    """Make HEIF known to Pillow: found by content where libheif has an HEVC decoder (without
    one a HEIC stays unknown and is named with the packages that read it), written where it has
    an HEVC encoder."""
    if _heif.DECODES:
        Image.register_open(FORMAT, HeifImageFile, _accept)
    if _heif.ENCODES:
        Image.register_save(FORMAT, _save)
    Image.register_extensions(FORMAT, list(EXTENSIONS))
    Image.register_mime(FORMAT, MIME)
