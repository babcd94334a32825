"""The monitor's main window, drawn from the definitions: a side bar with
the power source, the battery capacity and its state, and the estimated
runtime; the four pages, the current one marked; the status message of
each state; and a DeviceMonitor singleton that polls a simulated UPS every
DEVICE_MONITOR_INTERVAL seconds and updates the window through a signal.
Worker threads race for the monitor's first call and get the same object,
which lives in the application's thread.

    python examples/qt_monitor.py [--binding pyqt5|pyside6]
                                  [--screenshot PATH]

Runs on PyQt5 or PySide6, whichever is installed; without a screen set
QT_QPA_PLATFORM=offscreen.  --screenshot grabs the window once it shows
its first reading (from the X server when there is one) and exits.
"""
import argparse
import functools
import itertools
import sys
import threading
import types
import weakref

from Windows_QUMA.System import systemDefine as sd

BINDINGS = ("pyqt5", "pyside6")


def load_qt(binding=None):
    """The Qt modules of `binding`, or of the first one installed.  Each
    import is spelled out, so that a freezer (PyInstaller) finds it."""
    if binding in (None, "pyqt5"):
        try:
            from PyQt5 import QtCore, QtWidgets
        except ImportError:
            if binding:
                raise SystemExit("PyQt5 is not installed")
        else:
            return types.SimpleNamespace(name="pyqt5", core=QtCore,
                                         widgets=QtWidgets,
                                         Signal=QtCore.pyqtSignal)
    if binding in (None, "pyside6"):
        try:
            from PySide6 import QtCore, QtWidgets
        except ImportError:
            if binding:
                raise SystemExit("PySide6 is not installed")
        else:
            return types.SimpleNamespace(name="pyside6", core=QtCore,
                                         widgets=QtWidgets,
                                         Signal=QtCore.Signal)
    raise SystemExit("neither PyQt5 nor PySide6 is installed")


class SimulatedUps(object):
    """A UPS that runs on battery for a while, recharges, and now and then
    stops answering (read() gives None)."""

    CYCLE = 12

    def __init__(self):
        self.steps = itertools.count()

    def read(self):
        step = next(self.steps) % self.CYCLE
        if step >= 10:
            return None
        on_battery = 5 <= step < 8
        capacity = 100 - 9 * (step - 4) if on_battery else 100
        if on_battery:
            state = sd.dischargingStr
        elif step == 8:
            state = sd.chargingStr
        else:
            state = sd.fullChargedStr
        return {
            "source": sd.BatteryStr if on_battery else sd.ACUtilityStr,
            "capacity": capacity,
            "state": state,
            "runtime": 8 - step if on_battery else None,
            "volts": 0 if on_battery else 230,
            "watts": 140,
        }


def status(reading):
    """The status message of a reading (None: the UPS did not answer)."""
    if reading is None:
        return sd.ups_unable_communicationStr
    if reading["source"] == sd.BatteryStr:
        return "%s: %s, %s" % (sd.sideBarLabel_powerSourceStr, sd.BatteryStr,
                               reading["state"])
    return sd.ups_working_normallyStr


def runtime_text(minutes):
    if minutes is None:
        return sd.noneValueStr
    return "%d%s" % (minutes, sd.minuteStr if minutes == 1 else sd.minStr)


def forget(cls, monitor, *destroyed_args):
    """Drop cls's entry, if it still is `monitor` (a weak reference)."""
    table = cls._instances
    if monitor() is not None and table.get(cls) is monitor():
        del table[cls]


def build(qt, definitions=sd):
    """The application's classes on the Qt binding `qt` (load_qt()), their
    Singleton that of `definitions` (this module or its plain model)."""
    QtCore, QtWidgets = qt.core, qt.widgets

    class DeviceMonitor(definitions.Singleton, QtCore.QObject):
        """Polls the UPS on a timer; one per process."""
        updated = qt.Signal(object)
        _setting_up = threading.Lock()
        set_ups = 0

        def __init__(self, ups=None):
            # __init__ runs on every call, and first calls may race: the
            # guard reads the instance's own dict (before QObject.__init__
            # PyQt5 refuses any other attribute access, and PySide6
            # refuses to initialise a wrapper twice), under the lock.
            with DeviceMonitor._setting_up:
                if "ups" in vars(self):
                    return
                QtCore.QObject.__init__(self)
                DeviceMonitor.set_ups += 1
                self.ups = ups or SimulatedUps()
                self.readings = []
                self.timer = QtCore.QTimer(self)
                self.timer.setInterval(sd.DEVICE_MONITOR_INTERVAL * 1000)
                self.timer.timeout.connect(self.poll)
                # Made in a worker thread, the monitor would live there;
                # its timer goes along, being its child.
                application = QtCore.QCoreApplication.instance()
                if application is not None:
                    self.moveToThread(application.thread())
                self.destroyed.connect(functools.partial(
                    forget, DeviceMonitor, weakref.ref(self)))

        def start(self):
            """Start polling; call it from the application's thread."""
            self.timer.start()
            self.poll()

        def poll(self):
            reading = self.ups.read()
            self.readings.append(reading)
            self.updated.emit(reading)

    class MonitorUser(QtCore.QThread):
        """A worker that asks for the monitor from its own thread."""

        def run(self):
            self.monitor = DeviceMonitor()

    class MainWindow(definitions.Singleton, QtWidgets.QMainWindow):
        def __init__(self):
            if "pages" in vars(self):
                return
            QtWidgets.QMainWindow.__init__(self)
            self.setWindowTitle("QUMA " + sd.qumaVersion)
            central = QtWidgets.QWidget()
            layout = QtWidgets.QHBoxLayout(central)
            layout.addWidget(self._side_bar())
            layout.addWidget(self._pages(), 1)
            self.setCentralWidget(central)
            self.statusBar().showMessage(sd.quma_notReadyStr)
            self.show_page(sd.PAGE_MONITOR)
            DeviceMonitor().updated.connect(self.show_reading)

        def _side_bar(self):
            bar = QtWidgets.QWidget()
            grid = QtWidgets.QFormLayout(bar)
            # Wide enough for the longest value, so that the bar keeps its
            # width whatever it shows.
            metrics = bar.fontMetrics()
            widest = max(metrics.boundingRect(text).width() for text in (
                sd.ACUtilityStr, sd.unknownStr,
                "100%s, %s" % (sd.percentageStr, sd.fullChargedStr),
                "100%s" % sd.minStr))
            self.values = {}
            for key, label in (("source", sd.sideBarLabel_powerSourceStr),
                               ("capacity",
                                sd.sideBarLabel_batteryCapacityStr),
                               ("runtime",
                                sd.sideBarLabel_estimatedRuntimeStr)):
                value = QtWidgets.QLabel(sd.noneValueStr)
                value.setObjectName(key)
                value.setFixedWidth(widest + 8)
                grid.addRow(label, value)
                self.values[key] = value
            self.buttons = {}
            group = QtWidgets.QButtonGroup(bar)
            group.setExclusive(True)
            for page in (sd.PAGE_MONITOR, sd.PAGE_ENERGY, sd.PAGE_CONFIG,
                         sd.PAGE_INFO):
                button = QtWidgets.QPushButton(page.capitalize())
                button.setCheckable(True)
                group.addButton(button)
                button.clicked.connect(
                    lambda checked=False, page=page: self.show_page(page))
                grid.addRow(button)
                self.buttons[page] = button
            bar.setFixedWidth(bar.sizeHint().width())
            return bar

        def _pages(self):
            self.pages = QtWidgets.QStackedWidget()
            self.page_index = {}
            texts = {
                sd.PAGE_MONITOR: sd.quma_notReadyStr,
                sd.PAGE_ENERGY: sd.unknownStr,
                sd.PAGE_CONFIG: "Device monitor interval: %d s" %
                sd.DEVICE_MONITOR_INTERVAL,
                sd.PAGE_INFO: "QUMA " + sd.qumaVersion,
            }
            for page in (sd.PAGE_MONITOR, sd.PAGE_ENERGY, sd.PAGE_CONFIG,
                         sd.PAGE_INFO):
                widget = QtWidgets.QLabel(texts[page])
                widget.setObjectName(page)
                self.page_index[page] = self.pages.addWidget(widget)
            return self.pages

        def show_page(self, page):
            self.pages.setCurrentIndex(self.page_index[page])
            self.buttons[page].setChecked(True)

        def current_page(self):
            return self.pages.currentWidget().objectName()

        def page(self, name):
            return self.pages.widget(self.page_index[name])

        def show_reading(self, reading):
            message = status(reading)
            self.statusBar().showMessage(message)
            if reading is None:
                for value in self.values.values():
                    value.setText(sd.noneValueStr)
                self.page(sd.PAGE_MONITOR).setText(message)
                self.page(sd.PAGE_ENERGY).setText(sd.unknownStr)
                return
            self.values["source"].setText(reading["source"])
            self.values["capacity"].setText(
                "%d%s, %s" % (reading["capacity"], sd.percentageStr,
                              reading["state"]))
            self.values["runtime"].setText(runtime_text(reading["runtime"]))
            self.page(sd.PAGE_MONITOR).setText("%s\n%s: %s" % (
                message, sd.sideBarLabel_estimatedRuntimeStr,
                runtime_text(reading["runtime"])))
            self.page(sd.PAGE_ENERGY).setText(
                "Input: %d%s\nLoad: %d%s" % (reading["volts"], sd.voltsStr,
                                             reading["watts"], sd.wattsStr))

    return types.SimpleNamespace(DeviceMonitor=DeviceMonitor,
                                 MonitorUser=MonitorUser,
                                 MainWindow=MainWindow)


def screenshot(qt, window, path):
    """The window as the screen shows it: the X server's pixels where
    there is one, the window's own rendering offscreen."""
    application = qt.widgets.QApplication.instance()
    if application.platformName() == "offscreen":
        pixmap = window.grab()
    else:
        pixmap = window.screen().grabWindow(window.winId())
    if not pixmap.save(path):
        raise SystemExit("cannot write " + path)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binding", choices=BINDINGS)
    parser.add_argument("--screenshot", metavar="PATH")
    args = parser.parse_args(argv)
    qt = load_qt(args.binding)
    app = qt.widgets.QApplication.instance() or qt.widgets.QApplication([])
    classes = build(qt)
    # The workers race for the monitor's first call.
    workers = [classes.MonitorUser() for _ in range(3)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.wait()
    monitor = classes.DeviceMonitor()
    assert all(worker.monitor is monitor for worker in workers)
    assert classes.DeviceMonitor.set_ups == 1
    assert monitor.thread() is app.thread()
    window = classes.MainWindow()
    window.resize(620, 280)
    window.show()
    monitor.start()
    if args.screenshot:
        for _ in range(20):
            app.processEvents()
        qt.core.QThread.msleep(200)
        app.processEvents()
        screenshot(qt, window, args.screenshot)
        return 0
    run = getattr(app, "exec", None) or app.exec_
    return run()


if __name__ == "__main__":
    sys.exit(main())
