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
    from framewick.status import quiet


# The chain layer (framewick.steps, framewick.chains) reaches the photo runner above it, for
# Chain.apply, through a slot in framewick._hooks, and imports no module of that layer. The
# provider imports the runner on first use, so importing the package stays cheap.


def _chain_runner() -> object:
    from framewick.photo import run_steps

    return run_steps


from framewick import _hooks  # noqa: E402  (after the provider it is given)

_hooks.runner = _chain_runner


def __getattr__(name: str) -> object:
    if name == "FrameWick":
        from framewick._combined import FrameWick

        globals()["FrameWick"] = FrameWick
        return FrameWick
    if name == "quiet":  # silencing the status lines, per thread
        from framewick.status import quiet

        globals()["quiet"] = quiet
        return quiet
    raise AttributeError(f"module 'framewick' has no attribute {name!r}")
