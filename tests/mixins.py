"""Objects of the mixins for tests: a picture set directly, or a class that can also load one."""

from framewick.utils.storage import Storage


def holder(mixin):
    """A function making an object of a plain subclass of `mixin` whose `image` is the picture given."""
    cls = type(mixin.__name__ + "Object", (mixin,), {})

    def holding(image):
        obj = cls()
        obj.image = image
        return obj

    return holding


def loadable(mixin):
    """A class combining `Storage` and `mixin`, so that `load` starts a chain."""
    return type("Picture", (Storage, mixin), {})
