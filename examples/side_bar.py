"""The application's side bar, drawn in text from the shared definitions.

Run after installing the package:  python3 examples/side_bar.py
"""
from Windows_QUMA.System import systemDefine as sd


class DeviceMonitor(sd.Singleton):
    """One monitor per process, however many pages ask for it."""

    def __init__(self):
        if "readings" not in vars(self):   # __init__ runs on every call
            # A real monitor polls the UPS every DEVICE_MONITOR_INTERVAL s.
            self.readings = {"on_battery": False, "capacity": 87,
                             "runtime": 42, "charging": True}


def battery_state(readings):
    if readings["on_battery"]:
        return sd.dischargingStr
    return sd.chargingStr if readings["charging"] else sd.fullChargedStr


def side_bar(monitor):
    r = monitor.readings
    rows = [
        (sd.sideBarLabel_powerSourceStr,
         sd.BatteryStr if r["on_battery"] else sd.ACUtilityStr),
        (sd.sideBarLabel_batteryCapacityStr,
         "%d%s (%s)" % (r["capacity"], sd.percentageStr, battery_state(r))),
        (sd.sideBarLabel_estimatedRuntimeStr,
         "%d%s" % (r["runtime"], sd.minStr)),
    ]
    width = max(len(label) for label, _ in rows)
    lines = ["QUMA %s  [%s]" % (sd.qumaVersion, sd.PAGE_MONITOR)]
    lines += ["%-*s  %s" % (width, label, value) for label, value in rows]
    lines.append(sd.ups_working_normallyStr)
    return "\n".join(lines)


if __name__ == "__main__":
    monitor = DeviceMonitor()
    assert DeviceMonitor() is monitor
    print(side_bar(monitor))
    print("polling every %d s" % sd.DEVICE_MONITOR_INTERVAL)
