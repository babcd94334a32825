# The same definitions and the same Singleton algorithm as plain Python
# source: what an application would use without the native module.  Kept
# for the benchmarks only.


class Singleton(object):
    _instances = {}

    def __new__(class_, *args, **kwargs):
        if class_ not in class_._instances:
            class_._instances[class_] = super(Singleton, class_).__new__(
                class_, *args, **kwargs)
        return class_._instances[class_]


DEVICE_MONITOR_INTERVAL = 3

sideBarLabel_powerSourceStr = "Power Source"
sideBarLabel_batteryCapacityStr = "Battery Capacity"
sideBarLabel_estimatedRuntimeStr = "Estimated Runtime"

ACUtilityStr = "AC Utility"
BatteryStr = "Battery"

percentageStr = " %"
minStr = " min."
voltsStr = " volts"
wattsStr = " watts"
minuteStr = " minute"
unknownStr = "Unknown"
noneValueStr = "---"
dischargingStr = "Discharging"
fullChargedStr = "Full Charged"
chargingStr = "Charging"

ups_working_normallyStr = "The UPS is working normally."
quma_notReadyStr = "Quillmarsh\u00ae Personal Service is not ready."
ups_unable_communicationStr = "Unable to establish communication with UPS."

qumaVersion = "2.1.2"


PAGE_MONITOR = "monitor"
PAGE_ENERGY = "energy"
PAGE_CONFIG = "config"
PAGE_INFO = "info"
