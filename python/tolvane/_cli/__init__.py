"""The tolvane command: info, convert, plot, tail, compare and view (python -m tolvane, or tolvane)."""

from .main import main

__all__ = ["main"]
