"""Singleton as the monitor application meets it: Qt windows, objects and
threads, on PyQt5 or PySide6, whichever is installed (SYSTEMDEFINE_QT
picks one where both are), offscreen.  Each behaviour is checked against
the plain-Python module."""
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
    width = side[0].width()
    messages = []
    for _ in range(qt_monitor.SimulatedUps.CYCLE):
        monitor.poll()
        messages.append(window.statusBar().currentMessage())
        reading = monitor.readings[-1]
        if reading is not None and reading["source"] == mod.BatteryStr:
            assert window.values["runtime"].text().endswith(
                mod.minuteStr if reading["runtime"] == 1 else mod.minStr)
            assert window.page(mod.PAGE_ENERGY).text() == "Input: 0%s\n" \
                "Load: 140%s" % (mod.voltsStr, mod.wattsStr)
        assert side[0].width() == width
    assert messages[0] == mod.ups_working_normallyStr
    assert "%s: %s, %s" % (mod.sideBarLabel_powerSourceStr, mod.BatteryStr,
                           mod.dischargingStr) in messages
    assert messages[-1] == mod.ups_unable_communicationStr
    assert [r["runtime"] for r in monitor.readings
            if r is not None and r["runtime"] is not None] == [3, 2, 1]
    assert window.values["source"].text() == mod.noneValueStr
    for page in (mod.PAGE_ENERGY, mod.PAGE_CONFIG, mod.PAGE_INFO,
                 mod.PAGE_MONITOR):
        window.buttons[page].click()
        assert window.current_page() == page
        assert [p for p, b in window.buttons.items() if b.isChecked()] == \
            [page]


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


def test_first_calls_race_in_workers(app, mod, plain, clean):
    # The monitor is set up once, and lives in the application's thread
    # though a worker made it.
    outcomes = []
    for m in (mod, plain):
        classes = qt_monitor.build(QT, m)
        barrier = threading.Barrier(4)

        class Racing(classes.MonitorUser):
            def run(self):
                barrier.wait()
                classes.MonitorUser.run(self)
        workers = [Racing() for _ in range(4)]
        for worker in workers:
            worker.start()
        for worker in workers:
            assert worker.wait(60000)
        monitor = classes.DeviceMonitor()
        outcomes.append((all(w.monitor is monitor for w in workers),
                         classes.DeviceMonitor.set_ups,
                         monitor.thread() is app.thread(),
                         monitor.timer.thread() is app.thread()))
    assert outcomes[0] == outcomes[1] == (True, 1, True, True)


def test_recipe_after_a_reset_and_a_deletion(app, mod, plain, clean):
    # The older monitor goes after a reset: the entry stays the newer's.
    outcomes = []
    for m in (mod, plain):
        monitors = qt_monitor.build(QT, m).DeviceMonitor
        older = monitors()
        del m.Singleton._instances[monitors]
        newer = monitors()
        older.deleteLater()
        QtCore.QCoreApplication.sendPostedEvents(
            None, QtCore.QEvent.Type.DeferredDelete)
        kept = monitors() is newer
        newer.deleteLater()
        QtCore.QCoreApplication.sendPostedEvents(
            None, QtCore.QEvent.Type.DeferredDelete)
        outcomes.append((kept, monitors() is not newer))
    assert outcomes[0] == outcomes[1] == (True, True)


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
        outcomes.append((again is first, usable))
    assert outcomes[0] == outcomes[1]
