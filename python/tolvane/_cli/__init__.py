"""The tolvane command: info, convert, plot and tail (python -m tolvane, or tolvane)."""

from .main import main

__all__ = ["main"]
