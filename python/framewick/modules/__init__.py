"""The effects, geometry and overlays modules."""
