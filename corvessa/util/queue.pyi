# Types of the compiled module corvessa.util.queue.
import collections as collections
import queue as queue
from typing import Any, Callable, TypeVar

from ..packages import six as six

_T = TypeVar("_T")

class LifoQueue(queue.Queue[_T]):
    """A last-in, first-out queue.Queue whose items are kept in a collections.deque."""

    queue: collections.deque[_T]
    def _init(self, _: int) -> None: ...
    def _qsize(self, len: Callable[[Any], int] = ...) -> int: ...
    def _put(self, item: _T) -> None: ...
    def _get(self) -> _T: ...
