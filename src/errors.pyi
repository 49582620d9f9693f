"""The exceptions of pravlin."""

__all__ = ["PanicException"]

class PanicException(BaseException):
    """Raised when the module meets a state it cannot go on from: the
    compositor lacks what a session needs, or a round trip of construction
    failed. Derives from BaseException, so that `except Exception` does not
    catch it."""
