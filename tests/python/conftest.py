import pytest

from teskra import Teskra


def pairs(hits):
    return [(h["id"], h["score"]) for h in hits]


def small(**kwargs):
    """A 4-dimensional index (dot product unless told) holding ids 1..3."""
    t = Teskra(4, **{"metric": "dot", **kwargs})
    t.add([1, 2, 3], [[1, 0, 0, 0], [0, 2, 0, 0], [0.5, 0.5, 3, -1]])
    return t


class Hook(list):
    """Runs an action first when used as a number (float/index) or iterated as a sequence."""

    def __init__(self, items=(), action=None, value=0.5):
        super().__init__(items)
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        return int(self.__float__())

    def __iter__(self):
        self.action()
        return super().__iter__()


def expect_error(cls, text, call):
    """call() raises exactly cls with exactly text; a text naming an argument is a prefix (CPython words the rest)."""
    with pytest.raises(Exception) as e:
        call()
    message = str(e.value)
    if isinstance(e.value, OSError) and e.value.errno is not None:
        message = e.value.strerror  # str() adds "[Errno N]" and the file name
    assert type(e.value) is cls and (message.startswith(text) if text.startswith("argument '") else message == text), (
        type(e.value), message, cls, text)
