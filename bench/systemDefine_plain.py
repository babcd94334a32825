# The same definitions and the same Singleton algorithm as plain Python
# source: what an application would use without the native module.  The
# benchmarks measure against it, and the tests take it as the model of
# what Python code run by the module's steps sees.


class Singleton(object):
    _instances = {}

    def __new__(class_, *args, **kwargs):
        if class_ not in class_._instances:
            instance = super(Singleton, class_).__new__(
                class_, *args, **kwargs)
            try:
                table = class_._instances
                if type(table) is dict:
                    # An instance made meanwhile (by another thread, or by
                    # the parent itself) stays: one instance per class.
                    table.setdefault(class_, instance)
                else:
                    table[class_] = instance
            finally:
                table = instance = None
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
