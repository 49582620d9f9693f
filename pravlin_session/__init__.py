"""Headless Wayland sessions for pravlin: a compositor with its outputs, and a seat that always has a
keyboard and a pointer."""

from ._session import (CompositorMissing, ExistingDisplay, HeadlessSession, Output, SessionError, parse_outputs,
                       parse_size)

__all__ = ["CompositorMissing", "ExistingDisplay", "HeadlessSession", "Output", "SessionError", "parse_outputs",
           "parse_size"]
