"""Fast sampling of noisy Clifford+T circuits and an interactive Clifford+T simulator."""

from kelvo import _core
from kelvo._core import *  # noqa: F401,F403
from kelvo._core import __all__, __version__  # noqa: F401
