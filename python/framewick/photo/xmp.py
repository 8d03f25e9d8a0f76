"""XMP that describes pictures a written file does not hold: an HDR gain map's fields (`hdrgm`)
and the container directory (GContainer) naming the pictures appended after the primary one.

framewick writes the primary picture alone, so these parts of a photo's XMP are taken out when
it is opened; everything else in the packet is kept as it was written, prefixes included.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:  # the parser is imported when a packet must be parsed, which few need
    from xml.dom import minidom

GAIN_MAP_NS = "http://ns.adobe.com/hdr-gain-map/1.0/"
CONTAINER_NS = "http://ns.google.com/photos/1.0/container/"
ITEM_NS = "http://ns.google.com/photos/1.0/container/item/"
_DROPPED = frozenset({GAIN_MAP_NS, CONTAINER_NS, ITEM_NS})
_XMLNS = "http://www.w3.org/2000/xmlns/"


def describes_gain_map(xmp: bytes) -> bool:
    """Whether the packet names a gain map or a container directory (a plain text test)."""
    return any(ns.encode() in xmp for ns in (GAIN_MAP_NS, CONTAINER_NS))


def without_gain_map(xmp: bytes | None) -> bytes | None:
    """`xmp` without its gain-map fields and container directory (and the namespace
    declarations only they used); a packet naming neither is returned byte for byte. A packet
    that names one but cannot be parsed safely is dropped whole (None): it cannot be trusted
    to describe only what the file holds."""
    if not xmp or not describes_gain_map(xmp):
        return xmp
    if b"<!DOCTYPE" in xmp or b"<!ENTITY" in xmp:  # XMP has no DTD; one here is not to be expanded
        return None
    try:
        from xml.dom import minidom
        from xml.parsers.expat import ExpatError

        document = minidom.parseString(xmp.rstrip(b"\x00"))
    except (ExpatError, ValueError):
        return None
    _prune(document.documentElement)
    text = document.documentElement.toxml()
    # The packet wrapper (<?xpacket ...?>) and anything else outside the root are kept as they were.
    before = "".join(node.toxml() for node in _siblings(document, before=True))
    after = "".join(node.toxml() for node in _siblings(document, before=False))
    return (before + text + after).encode("utf-8")


def _siblings(document: minidom.Document, before: bool) -> list[minidom.Node]:
    nodes = list(document.childNodes)
    at = nodes.index(document.documentElement)
    return nodes[:at] if before else nodes[at + 1:]


def _prune(element: minidom.Element) -> None:
    """Take the dropped namespaces' elements, attributes and declarations out of `element`'s tree."""
    for name in list(element.attributes.keys()):
        attribute = element.attributes[name]
        if attribute.namespaceURI in _DROPPED:
            element.removeAttribute(name)
        elif attribute.namespaceURI == _XMLNS and attribute.value in _DROPPED:
            element.removeAttribute(name)
    for child in list(element.childNodes):
        if child.nodeType != child.ELEMENT_NODE:
            continue
        if child.namespaceURI in _DROPPED:
            _remove_with_indent(element, child)
        else:
            _prune(child)


def _remove_with_indent(parent: minidom.Element, child: minidom.Element) -> None:
    """Remove `child` and the white space that indented it, so no blank line is left."""
    previous = child.previousSibling
    if previous is not None and previous.nodeType == previous.TEXT_NODE and not previous.data.strip():
        parent.removeChild(previous)
    parent.removeChild(child)
