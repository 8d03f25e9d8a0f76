"""The public import path of chains as data: `framewick.chains.chain` holds them."""

from framewick.chains.chain import *  # noqa: F403
from framewick.chains.chain import __all__  # noqa: F401
