"""korvane.plugins.analyzer."""
