"""Objects of the mixins for tests (a picture set directly, or a class that can also load one), and
the traceback entries their methods leave."""

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


def source_entries(source):
    """A function giving the names of an exception's traceback entries that carry `source`, outermost first."""
    def entries(exc):
        found, tb = [], exc.__traceback__
        while tb is not None:
            if tb.tb_frame.f_code.co_filename == source:
                found.append(tb.tb_frame.f_code.co_name)
            tb = tb.tb_next
        return found

    return entries
