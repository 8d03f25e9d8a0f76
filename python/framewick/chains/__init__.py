"""Chains as data: their text and JSON grammar (`grammar`), chains of steps and look references
(`chain`), the looks files that name chains (`looks`) and the .cube tables of `lut:` (`lut`).

This layer sits on the step declarations (`framewick.steps`) and imports nothing above it: no
picture is read here, and no module of the photo pipeline, the command line, the studio or the
batches is imported.
"""
