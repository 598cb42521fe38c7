"""korvane.jit: the JIT layer's compile policy and telemetry store."""
from korvane.jit.telemetry import TelemetryStore

__all__ = ["TelemetryStore"]
