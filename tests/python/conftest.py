from teskra import Teskra


def pairs(hits):
    return [(h["id"], h["score"]) for h in hits]


def small(**kwargs):
    """A 4-dimensional index (dot product unless told) holding ids 1..3."""
    t = Teskra(4, **{"metric": "dot", **kwargs})
    t.add([1, 2, 3], [[1, 0, 0, 0], [0, 2, 0, 0], [0.5, 0.5, 3, -1]])
    return t
