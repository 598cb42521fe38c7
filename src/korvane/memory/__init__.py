"""korvane.memory."""
