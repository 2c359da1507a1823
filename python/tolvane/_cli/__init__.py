"""The tolvane command: info, convert, plot, tail and compare (python -m tolvane, or tolvane)."""

from .main import main

__all__ = ["main"]
