"""Re-exports corvessa.packages: six and six.moves are the very same module objects.

Entering them in sys.modules under this package's names makes the twin's relative
imports (from ..packages import six; from ..packages.six.moves import queue) resolve to
the real ones instead of loading copies.
"""
import sys

import corvessa.packages.six as six
import corvessa.packages.six.moves

sys.modules[__name__ + ".six"] = six
sys.modules[__name__ + ".six.moves"] = six.moves
