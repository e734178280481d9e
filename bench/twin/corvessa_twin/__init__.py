"""The Python twin of corvessa.util.queue, for the side-by-side benchmark only.

corvessa_twin.util.queue is the module's Python source, line for line; its packages/
re-exports the real corvessa.packages so that the twin and the compiled module import
the very same six and queue objects.
"""
