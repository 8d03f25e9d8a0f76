"""FrameWickUpdater: the opt-in background check for a newer release (native module)."""

from typing import Self

#: Base address of the package index's JSON API ("https://HOST/pypi/"), fixed at build time.
INDEX_URL: str

class FrameWickUpdater:
    """Check PyPI for newer FrameWick releases 🚀"""

    package_name: str
    current_version: str
    api_url: str
    def __init__(self, package_name: str, current_version: str) -> None: ...
    def _check_logic(self) -> None:
        """Perform the update check in the background 🔍"""
    def _notify_user(self, latest_version: str, upload_time: str) -> None:
        """Display the update notification to the user 📢"""
    def start_check(self) -> Self:
        """Start the update check in a background thread 🧵"""
