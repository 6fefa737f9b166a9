"""Moved to ``kelvara.pdf.orderings``; this name is kept for one release."""
import importlib
import sys

sys.modules[__name__] = importlib.import_module("kelvara.pdf.orderings")
