"""The package's exceptions: every one it raises on purpose is a qx470usb.Error."""

__all__ = ["Error", "DeviceError", "ArgumentError", "BusyError", "NotRunningError"]


class Error(Exception):
    """Base of every error the qx470usb package raises on purpose."""


class DeviceError(Error, RuntimeError):
    """The amplifier is missing, unpowered, or stopped delivering."""


class ArgumentError(Error, ValueError):
    """A rate list, a length or another argument that the amplifier cannot take."""


class BusyError(Error, RuntimeError):
    """Another Stream is open in this process, or another thread is using this one."""


class NotRunningError(Error, RuntimeError):
    """The Stream is not running: start it, or use it in a with statement."""
