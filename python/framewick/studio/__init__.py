"""The studio: a look designer in the browser.

`framewick studio PHOTO...` serves a page on 127.0.0.1 that shows a photo under a chain as the
chain changes, and saves the chain as a look (into a looks file) or the photo at full size
(into an export folder). `state.Studio` holds a run; `server.StudioServer` answers the page;
`preview` turns a photo into its proxy and a chain into a JPEG; `controls` makes the page's
controls from the step table; `lookfile` writes looks.
"""

from framewick.studio.server import StudioServer, serve
from framewick.studio.state import Studio, StudioError

__all__ = ["Studio", "StudioError", "StudioServer", "serve"]
