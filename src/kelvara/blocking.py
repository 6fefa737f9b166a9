"""Moved to ``kelvara.trajectory.blocking``; this name is kept for one release."""
import importlib
import sys

sys.modules[__name__] = importlib.import_module("kelvara.trajectory.blocking")
