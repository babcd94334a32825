"""The monitor's main window, drawn from the definitions: a side bar with
the power source, the battery capacity and its state, and the estimated
runtime; the four pages; the status message; and a DeviceMonitor singleton
that polls a simulated UPS every DEVICE_MONITOR_INTERVAL seconds and
updates the side bar through a signal.  Worker threads that ask for the
monitor get the same object.

    python examples/qt_monitor.py [--binding pyqt5|pyside6]
                                  [--screenshot PATH]

Runs on PyQt5 or PySide6, whichever is installed; without a screen set
QT_QPA_PLATFORM=offscreen.  --screenshot grabs the window once it shows
its first reading and exits.
"""
import argparse
import importlib
import itertools
import sys
import types

from Windows_QUMA.System import systemDefine as sd

BINDINGS = ("pyqt5", "pyside6")


def load_qt(binding=None):
    """The Qt modules of `binding`, or of the first one installed."""
    for name in (binding,) if binding else BINDINGS:
        package = {"pyqt5": "PyQt5", "pyside6": "PySide6"}[name]
        try:
            core = importlib.import_module(package + ".QtCore")
            widgets = importlib.import_module(package + ".QtWidgets")
        except ImportError:
            continue
        signal = core.pyqtSignal if name == "pyqt5" else core.Signal
        return types.SimpleNamespace(name=name, core=core, widgets=widgets,
                                     Signal=signal)
    raise SystemExit("neither PyQt5 nor PySide6 is installed")


class SimulatedUps(object):
    """A UPS that discharges for a while on battery, then recharges."""

    def __init__(self):
        self.steps = itertools.count()

    def read(self):
        step = next(self.steps)
        on_battery = step % 8 >= 5
        capacity = max(100 - 3 * (step % 8), 0) if on_battery else 100
        if on_battery:
            state = sd.dischargingStr
        elif step % 8 == 0 and step:
            state = sd.chargingStr
        else:
            state = sd.fullChargedStr
        return {
            "source": sd.BatteryStr if on_battery else sd.ACUtilityStr,
            "capacity": capacity,
            "state": state,
            "runtime": capacity // 2 if on_battery else None,
            "status": sd.ups_working_normallyStr,
        }


def build(qt):
    """The application's classes on the Qt binding `qt` (load_qt())."""
    QtCore, QtWidgets = qt.core, qt.widgets

    class DeviceMonitor(sd.Singleton, QtCore.QObject):
        """Polls the UPS on a timer; one per process."""
        updated = qt.Signal(object)

        def __init__(self, ups=None):
            # __init__ runs on every DeviceMonitor() call.  The guard reads
            # the instance's own dict: before QObject.__init__ has run,
            # PyQt5 refuses any other attribute access (hasattr included),
            # and PySide6 refuses to initialise a wrapper twice.
            if "ups" in vars(self):
                return
            QtCore.QObject.__init__(self)
            self.ups = ups or SimulatedUps()
            self.readings = []
            self.timer = QtCore.QTimer(self)
            self.timer.setInterval(sd.DEVICE_MONITOR_INTERVAL * 1000)
            self.timer.timeout.connect(self.poll)

        def start(self):
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

    class MainWindow(sd.Singleton, QtWidgets.QMainWindow):
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
            DeviceMonitor().updated.connect(self.show_reading)

        def _side_bar(self):
            bar = QtWidgets.QWidget()
            grid = QtWidgets.QFormLayout(bar)
            self.values = {}
            for key, label in (("source", sd.sideBarLabel_powerSourceStr),
                               ("capacity",
                                sd.sideBarLabel_batteryCapacityStr),
                               ("runtime",
                                sd.sideBarLabel_estimatedRuntimeStr)):
                value = QtWidgets.QLabel(sd.noneValueStr)
                value.setObjectName(key)
                grid.addRow(label, value)
                self.values[key] = value
            self.buttons = {}
            for page in (sd.PAGE_MONITOR, sd.PAGE_ENERGY, sd.PAGE_CONFIG,
                         sd.PAGE_INFO):
                button = QtWidgets.QPushButton(page.capitalize())
                button.clicked.connect(
                    lambda checked=False, page=page: self.show_page(page))
                grid.addRow(button)
                self.buttons[page] = button
            return bar

        def _pages(self):
            self.pages = QtWidgets.QStackedWidget()
            self.page_index = {}
            for page, text in ((sd.PAGE_MONITOR, sd.unknownStr),
                               (sd.PAGE_ENERGY, sd.noneValueStr),
                               (sd.PAGE_CONFIG, "%d s" %
                                sd.DEVICE_MONITOR_INTERVAL),
                               (sd.PAGE_INFO, "QUMA " + sd.qumaVersion)):
                widget = QtWidgets.QLabel(text)
                widget.setObjectName(page)
                self.page_index[page] = self.pages.addWidget(widget)
            return self.pages

        def show_page(self, page):
            self.pages.setCurrentIndex(self.page_index[page])

        def current_page(self):
            return self.pages.currentWidget().objectName()

        def show_reading(self, reading):
            self.values["source"].setText(reading["source"])
            self.values["capacity"].setText(
                "%d%s, %s" % (reading["capacity"], sd.percentageStr,
                              reading["state"]))
            runtime = reading["runtime"]
            self.values["runtime"].setText(
                sd.noneValueStr if runtime is None
                else "%d%s" % (runtime, sd.minStr))
            self.pages.widget(self.page_index[sd.PAGE_MONITOR]).setText(
                reading["status"])
            self.statusBar().showMessage(reading["status"])

    return types.SimpleNamespace(DeviceMonitor=DeviceMonitor,
                                 MonitorUser=MonitorUser,
                                 MainWindow=MainWindow)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binding", choices=BINDINGS)
    parser.add_argument("--screenshot", metavar="PATH")
    args = parser.parse_args(argv)
    qt = load_qt(args.binding)
    app = qt.widgets.QApplication.instance() or qt.widgets.QApplication([])
    classes = build(qt)
    window = classes.MainWindow()
    window.resize(560, 260)
    window.show()
    workers = [classes.MonitorUser() for _ in range(3)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.wait()
    monitor = classes.DeviceMonitor()
    assert all(worker.monitor is monitor for worker in workers)
    monitor.start()
    if args.screenshot:
        app.processEvents()
        window.grab().save(args.screenshot)
        return 0
    run = getattr(app, "exec", None) or app.exec_
    return run()


if __name__ == "__main__":
    sys.exit(main())
