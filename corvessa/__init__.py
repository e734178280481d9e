"""corvessa: the package that holds corvessa.util.queue."""
