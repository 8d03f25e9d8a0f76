"""framewick: image editing for Python 3.14, as native mixins over Pillow.

`FrameWick` combines the five mixins; `FrameWick.load(path)` starts a chain and every editing
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
    from framewick._combined import FrameWick
    from framewick._output import quiet


# The layers are wired here, where every user of any of them passes first: the chain layer
# (framewick.steps, framewick.chain) leaves two slots in framewick._hooks for the layers above
# it (the looks of framewick.looks, the photo runner of framewick.photo), and imports neither.
# Each provider imports its layer on first use, so importing the package stays cheap.


def _looks_layer() -> object:
    from framewick import looks

    return looks


def _chain_runner() -> object:
    from framewick.photo import run_steps

    return run_steps


from framewick import _hooks  # noqa: E402  (after the providers it is given)

_hooks.looks = _looks_layer
_hooks.runner = _chain_runner


def __getattr__(name: str) -> object:
    if name == "FrameWick":
        from framewick._combined import FrameWick

        globals()["FrameWick"] = FrameWick
        return FrameWick
    if name == "quiet":  # silencing the status lines, per thread
        from framewick._output import quiet

        globals()["quiet"] = quiet
        return quiet
    raise AttributeError(f"module 'framewick' has no attribute {name!r}")
