"""The least of six that corvessa needs: PY2 and six.moves.queue."""
import sys

PY2 = sys.version_info[0] == 2
PY3 = not PY2
