"""Pictures handed to Pillow band by band, through its public decoder interface.

A plugin whose library decodes the picture itself (libheif, LibRaw) gives its `ImageFile` one
tile naming the `ROWS` decoder, with the plugin's `fill(decoder)` as the tile's argument.
Pillow makes the picture's memory and calls the decoder once (which reports the picture done); `fill` then hands over whole
rows, top to bottom, with `decoder.put(band)`, each band written in place by Pillow's own
raw decoder (`PyDecoder.set_as_raw`). The picture is never held a second time as one block of
bytes.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from PIL import Image, ImageFile

__all__ = ["ROWS", "Fresh", "RowDecoder", "tile"]

#: The name the decoder is registered under with Pillow.
ROWS = "framewick.rows"


class RowDecoder(ImageFile.PyDecoder):
    """Takes a picture's rows from the plugin's `fill` (the tile's argument), band by band."""

    def decode(self, buffer: Any) -> tuple[int, int]:
        # Pillow hands over the file's first block, unused: the plugin's library has the file.
        if not self.args or self.args[0] is None:
            raise OSError("the picture cannot be decoded again after a failed decode")
        assert self.im is not None
        self._width, self._height = self.state.xsize, self.state.ysize
        self._row_bytes = self._width * Image.getmodebands(self.mode)
        self._row = 0
        self.args[0](self)
        if self._row != self._height:
            raise OSError(f"the decoder gave {self._row} of the picture's {self._height} rows")
        return -1, 0

    def put(self, band: bytes | bytearray | memoryview) -> None:
        """Write `band` (whole rows in the picture's mode, top to bottom) below the rows before."""
        rows, rest = divmod(len(band), self._row_bytes)
        if rest or rows == 0 or self._row + rows > self._height:
            raise OSError(f"the decoder gave a band of {len(band)} bytes, not whole rows of the picture")
        assert self.im is not None
        self.setimage(self.im, (0, self._row, self._width, self._row + rows))
        self.set_as_raw(bytes(band) if isinstance(band, memoryview) else band)
        self._row += rows


class Fresh:
    """For an `ImageFile` whose picture comes through `ROWS`: the picture's memory is made as
    `private.blank_picture` makes it (a large one in one block, in huge pages as the rows reach
    them) instead of faulting in page by page. Listed before ImageFile."""

    def load_prepare(self) -> None:
        if getattr(self, "tile", None) and self.tile[0][0] == ROWS:
            from framewick.formats import private

            private.give_blank_picture(self)
        super().load_prepare()  # type: ignore[misc]


def tile(size: tuple[int, int], fill: Callable[[RowDecoder], None] | None) -> Any:
    """The one tile of a picture of `size` whose rows `fill` hands over (None: no longer can)."""
    return (ROWS, (0, 0) + tuple(size), 0, (fill,))


Image.register_decoder(ROWS, RowDecoder)
