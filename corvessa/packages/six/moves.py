"""six.moves, reduced to the one name corvessa imports from it."""
from . import PY2

if PY2:
    import Queue as queue  # noqa: F401
else:
    import queue  # noqa: F401
