"""Singleton as the monitor application meets it: Qt windows, objects and
threads, on PyQt5 or PySide6, whichever is installed (SYSTEMDEFINE_QT
picks one where both are), offscreen.  Each behaviour is checked against
the plain-Python module."""
import functools
import os
import sys
import threading

import pytest

from conftest import ROOT

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
sys.path.insert(0, os.path.join(ROOT, "examples"))
import qt_monitor  # noqa: E402

try:
    QT = qt_monitor.load_qt(os.environ.get("SYSTEMDEFINE_QT"))
except SystemExit:
    pytest.skip("needs PyQt5 or PySide6 (the test command installs them "
                "where wheels exist)", allow_module_level=True)

QtCore, QtWidgets = QT.core, QT.widgets


@pytest.fixture(scope="module")
def app():
    return QtWidgets.QApplication.instance() or QtWidgets.QApplication([])


@pytest.fixture
def clean(mod, plain):
    """Each test's classes leave the shared tables as they found them."""
    saved = [dict(m.Singleton._instances) for m in (mod, plain)]
    yield
    for m, table in zip((mod, plain), saved):
        m.Singleton._instances.clear()
        m.Singleton._instances.update(table)


def test_window_from_the_definitions(app, mod, clean):
    classes = qt_monitor.build(QT)
    window = classes.MainWindow()
    assert classes.MainWindow() is window
    side = [window.centralWidget().layout().itemAt(0).widget()]
    labels = [w.text() for w in side[0].findChildren(QtWidgets.QLabel)]
    for text in (mod.sideBarLabel_powerSourceStr,
                 mod.sideBarLabel_batteryCapacityStr,
                 mod.sideBarLabel_estimatedRuntimeStr):
        assert text in labels
    assert window.statusBar().currentMessage() == mod.quma_notReadyStr
    monitor = classes.DeviceMonitor()
    assert monitor.timer.interval() == mod.DEVICE_MONITOR_INTERVAL * 1000
    monitor.poll()
    assert window.values["source"].text() == mod.ACUtilityStr
    assert window.values["capacity"].text() == "100" + mod.percentageStr + \
        ", " + mod.fullChargedStr
    assert window.values["runtime"].text() == mod.noneValueStr
    assert window.statusBar().currentMessage() == \
        mod.ups_working_normallyStr
    for page in (mod.PAGE_ENERGY, mod.PAGE_CONFIG, mod.PAGE_INFO,
                 mod.PAGE_MONITOR):
        window.buttons[page].click()
        assert window.current_page() == page


KINDS = {"QObject": lambda: QtCore.QObject,
         "QMainWindow": lambda: QtWidgets.QMainWindow,
         "QDialog": lambda: QtWidgets.QDialog}


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_one_instance_and_a_guard_that_works(app, mod, plain, clean, kind):
    outcomes = []
    for m in (mod, plain):
        base = KINDS[kind]()
        runs = []

        class Service(m.Singleton, base):
            def __init__(self):
                if "ready" in vars(self):
                    return
                base.__init__(self)
                runs.append(self)
                self.ready = True

        # The Qt base first: its own __new__ is found before Singleton's.
        class Backwards(base, m.Singleton):
            pass
        first = Service()
        outcomes.append((Service() is first, Service() is first, len(runs),
                         Backwards() is Backwards()))
    assert outcomes[0] == outcomes[1] == (True, True, 1, False)


def test_monitor_signals_reach_the_side_bar(app, clean):
    classes = qt_monitor.build(QT)
    monitor = classes.DeviceMonitor()
    got = []
    monitor.updated.connect(got.append)
    for _ in range(6):
        monitor.poll()
    assert [r["source"] for r in got][-1] == qt_monitor.sd.BatteryStr
    window = classes.MainWindow()
    monitor.poll()
    assert window.values["runtime"].text().endswith(qt_monitor.sd.minStr)


def test_first_calls_from_threads(app, mod, plain, clean):
    for m in (mod, plain):
        class Slow(QtCore.QObject):
            def __new__(cls, *args):
                QtCore.QThread.msleep(20)
                return QtCore.QObject.__new__(cls)

        class Shared(m.Singleton, Slow):
            lock = threading.Lock()

            def __init__(self):
                # Racing first calls would each initialise the one object,
                # which PySide6 refuses: the set-up runs under a lock.
                with Shared.lock:
                    if "ready" not in vars(self):
                        QtCore.QObject.__init__(self)
                        self.ready = True
        barrier = threading.Barrier(4)

        class Caller(QtCore.QThread):
            def run(self):
                barrier.wait()
                self.got = Shared()
        callers = [Caller() for _ in range(4)]
        for caller in callers:
            caller.start()
        for caller in callers:
            assert caller.wait(60000)
        assert all(c.got is Shared._instances[Shared] for c in callers), m


def test_object_deleted_by_qt(app, mod, plain, clean):
    outcomes = []
    for m in (mod, plain):
        class Service(m.Singleton, QtCore.QObject):
            def __init__(self):
                if "ready" not in vars(self):
                    QtCore.QObject.__init__(self)
                    self.ready = True
        first = Service()
        first.deleteLater()
        QtCore.QCoreApplication.sendPostedEvents(
            None, QtCore.QEvent.Type.DeferredDelete)
        again = Service()
        try:
            again.objectName()
            usable = True
        except RuntimeError:
            usable = False
        # The recipe: the entry goes with the C++ object.
        Service._instances.pop(Service)

        class Tracked(m.Singleton, QtCore.QObject):
            def __init__(self):
                if "ready" not in vars(self):
                    QtCore.QObject.__init__(self)
                    self.ready = True
                    self.destroyed.connect(functools.partial(
                        m.Singleton._instances.pop, Tracked, None))
        tracked = Tracked()
        tracked.deleteLater()
        QtCore.QCoreApplication.sendPostedEvents(
            None, QtCore.QEvent.Type.DeferredDelete)
        fresh = Tracked()
        outcomes.append((again is first, usable, fresh is not tracked,
                         fresh.objectName()))
    assert outcomes[0] == outcomes[1]
