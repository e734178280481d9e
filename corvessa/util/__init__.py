"""corvessa.util: utilities; the compiled LifoQueue lives in corvessa.util.queue."""
