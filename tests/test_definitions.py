import sys

DEFINITIONS = [
    ("DEVICE_MONITOR_INTERVAL", 3),
    ("sideBarLabel_powerSourceStr", "Power Source"),
    ("sideBarLabel_batteryCapacityStr", "Battery Capacity"),
    ("sideBarLabel_estimatedRuntimeStr", "Estimated Runtime"),
    ("ACUtilityStr", "AC Utility"),
    ("BatteryStr", "Battery"),
    ("percentageStr", " %"),
    ("minStr", " min."),
    ("voltsStr", " volts"),
    ("wattsStr", " watts"),
    ("minuteStr", " minute"),
    ("unknownStr", "Unknown"),
    ("noneValueStr", "---"),
    ("dischargingStr", "Discharging"),
    ("fullChargedStr", "Full Charged"),
    ("chargingStr", "Charging"),
    ("ups_working_normallyStr", "The UPS is working normally."),
    ("quma_notReadyStr", "Quillmarsh\u00ae Personal Service is not ready."),
    ("ups_unable_communicationStr",
     "Unable to establish communication with UPS."),
    ("qumaVersion", "2.1.2"),
    ("PAGE_MONITOR", "monitor"),
    ("PAGE_ENERGY", "energy"),
    ("PAGE_CONFIG", "config"),
    ("PAGE_INFO", "info"),
]


def fresh(text):
    # An equal string that is not the literal in this file.
    return "".join(list(text))


def test_values_exact(mod):
    for name, value in DEFINITIONS:
        got = getattr(mod, name)
        assert type(got) is type(value), name
        assert got == value, name
    assert len(mod.quma_notReadyStr) == 42
    assert mod.DEVICE_MONITOR_INTERVAL + 1 == 4


def test_globals_in_binding_order(mod):
    names = list(vars(mod))
    ours = [name for name in names if not name.startswith("__")
            or name == "__test__"]
    expected = ["Singleton"] + [name for name, _ in DEFINITIONS] + ["__test__"]
    assert ours == expected
    # The runtime's own entries come first, the module body after them.
    assert names.index("__builtins__") < names.index("Singleton")


def test_letters_only_values_are_interned(mod):
    for name, value in DEFINITIONS[1:]:
        interned = sys.intern(fresh(value)) is getattr(mod, name)
        assert interned == value.isalpha(), name


def test_every_read_returns_the_same_object(mod):
    for name, _ in DEFINITIONS:
        assert getattr(mod, name) is getattr(mod, name)
        assert getattr(mod, name) is vars(mod)[name]
