"""corvessa_twin.util: holds the pure-Python twin of corvessa.util.queue."""
