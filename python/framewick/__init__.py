"""framewick: image editing for Python 3.14, as native mixins over Pillow.

`FrameWick` combines the seven mixins (five native, two in Python); `FrameWick.load(path)` starts a chain and every editing
method returns the object::

    from framewick import FrameWick

    FrameWick.load("photo.png").apply_preset("vintage").resize(800, 600).save("out.jpg")

`FrameWick` is made on first use, so importing one module (``framewick.utils.storage``) loads
that module alone. Nothing here contacts the network: the release check of
`framewick.utils.updater` runs only when asked for (``framewick version --check``).
"""

TYPE_CHECKING = False  # not typing's: importing typing would slow every start of the command line

__version__ = "1.0.0"

__all__ = ["FrameWick", "__version__", "quiet"]

if TYPE_CHECKING:
    from framewick.picture import FrameWick
    from framewick.status import quiet


def __getattr__(name: str) -> object:
    if name == "FrameWick":
        from framewick.picture import FrameWick

        globals()["FrameWick"] = FrameWick
        return FrameWick
    if name == "quiet":  # silencing the status lines, per thread
        from framewick.status import quiet

        globals()["quiet"] = quiet
        return quiet
    raise AttributeError(f"module 'framewick' has no attribute {name!r}")
