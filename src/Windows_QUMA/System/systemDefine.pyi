"""Shared definitions of the QUMA UPS monitor.

The module binds fixed display strings, identifiers and settings that the
application's pages read, and `Singleton`, the base class of the
application's one-instance services.  Every name is a constant: rebinding
one changes nothing for the modules that read it before.
"""
from typing import Any, ClassVar, Dict, Type, TypeVar

from typing_extensions import Final


_S = TypeVar("_S", bound="Singleton")

class Singleton:
    """Base class whose subclasses have at most one instance per process.

    Calling a subclass the first time creates the instance; every later
    call returns it.  `__init__` runs on every call, and arguments reach
    the parent's `__new__` only on the first.
    """

    _instances: ClassVar[Dict[type, Any]]
    """Instance table: class -> its instance.  Shared by every subclass
    that does not define an `_instances` of its own."""

    # The runtime signature is (class_, *args, **kwargs), but arguments of
    # a first call reach object's __new__, which takes none: a subclass
    # that takes arguments gives itself a __new__ of its own.
    def __new__(class_: Type[_S]) -> _S: ...

DEVICE_MONITOR_INTERVAL: Final = 3
"""Seconds between two polls of the UPS by the device monitor."""

sideBarLabel_powerSourceStr: Final = "Power Source"
"""Side-bar labels, each followed by its value."""
sideBarLabel_batteryCapacityStr: Final = "Battery Capacity"
sideBarLabel_estimatedRuntimeStr: Final = "Estimated Runtime"

ACUtilityStr: Final = "AC Utility"
"""Power sources: the value of the power-source label."""
BatteryStr: Final = "Battery"

percentageStr: Final = " %"
"""Unit suffixes: each starts with a space, to append to a number."""
minStr: Final = " min."
voltsStr: Final = " volts"
wattsStr: Final = " watts"
minuteStr: Final = " minute"

unknownStr: Final = "Unknown"
"""Placeholders for a value that is not known or not present."""
noneValueStr: Final = "---"

dischargingStr: Final = "Discharging"
"""Battery states."""
fullChargedStr: Final = "Full Charged"
chargingStr: Final = "Charging"

ups_working_normallyStr: Final = "The UPS is working normally."
"""Status messages about the UPS and the application's service."""
quma_notReadyStr: Final = "Quillmarsh\u00ae Personal Service is not ready."
ups_unable_communicationStr: Final = "Unable to establish communication with UPS."

qumaVersion: Final = "2.1.2"
"""The application's version, as text."""

PAGE_MONITOR: Final = "monitor"
"""Identifiers of the application's four pages."""
PAGE_ENERGY: Final = "energy"
PAGE_CONFIG: Final = "config"
PAGE_INFO: Final = "info"

__test__: Dict[str, Any]
"""Doctest hook of the module: always empty."""
