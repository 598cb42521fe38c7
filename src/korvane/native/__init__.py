"""korvane.native."""
