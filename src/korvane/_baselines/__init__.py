"""korvane._baselines."""
