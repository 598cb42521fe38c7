"""korvane.gpu."""
