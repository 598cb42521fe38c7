"""korvane.plugins."""
