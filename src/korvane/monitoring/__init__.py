"""korvane.monitoring."""
