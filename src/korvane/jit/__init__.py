"""korvane.jit."""
