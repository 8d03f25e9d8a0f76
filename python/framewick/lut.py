"""The public import path of .cube LUTs and the `apply_lut` step: `framewick.chains.lut` holds them."""

from framewick.chains.lut import (CHUNK_BYTES, MAX_FILE_BYTES, MAX_LINE_BYTES, MIN_SIZE, PILLOW_MAX_SIZE, CubeLUT,
                                  Grading, LUTError, read_cube, write_cube)

__all__ = ["CubeLUT", "Grading", "LUTError", "read_cube", "write_cube"]
__all__ += ["CHUNK_BYTES", "MAX_FILE_BYTES", "MAX_LINE_BYTES", "MIN_SIZE", "PILLOW_MAX_SIZE"]
