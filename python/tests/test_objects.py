"""Both automation objects from Python against simulated units: every member
in its Python form, the events as a handler sees them, the conversions."""
import datetime
import subprocess
import sys
import urllib.request

import pytest

import kalax
from kalax import _dispatch

WAIT = 10  # seconds any single wait for events may take


class Recorder:
    """Keeps every event as (name, args...)."""

    def __init__(self):
        self.events = []

    def OnStatus(self, event, status):
        self.events.append(("OnStatus", event, status))

    def OnValuesXml(self, count):
        self.events.append(("OnValuesXml", count))

    def OnSetupXml(self, status, count):
        self.events.append(("OnSetupXml", status, count))

    def OnRead(self, size):
        self.events.append(("OnRead", size))

    def OnDownload(self, csv, count):
        self.events.append(("OnDownload", csv, count))

    def OnDelete(self, everything):
        self.events.append(("OnDelete", everything))

    def OnError(self, code):
        self.events.append(("OnError", code))

    def wait_for(self, *names):
        """Delivers events until one of `names` is the last one that arrived."""
        start = len(self.events)
        assert kalax.pump_until(lambda: len(self.events) > start and self.events[-1][0] in names, WAIT), \
            self.events[start:]
        return self.events[-1]


@pytest.fixture
def reached(monkeypatch):
    """The member names called through CDispatch during the test."""
    names = set()
    call = _dispatch.CDispatch._call

    def recording(self, member, flags, args):
        names.add(member.name)
        return call(self, member, flags, args)
    monkeypatch.setattr(_dispatch.CDispatch, "_call", recording)
    return names


def all_members(obj):
    i = obj._iface
    return {m.name for table in (i.methods, i.gets, i.puts) for m in table.values()}


def test_ioxml_every_member_and_the_events_in_order(unitsim, reached):
    port = unitsim()
    io = kalax.DispatchWithEvents("KalAx.IoXml", Recorder)
    assert (io.IP, io.Port, io.Username, io.Password, io.OldVerSupport) == ("127.0.0.1", 80, "", "", 0)
    io.Port = port
    io.Username, io.Password = "ädmin", "pässword"  # Windows-1252 both ways
    assert (io.Port, io.Username, io.Password) == (port, "ädmin", "pässword")
    io.Username = io.Password = ""
    io.OldVerSupport = 1
    assert io.OldVerSupport == 1
    io.OldVerSupport = 0
    assert io.SetHostIP("localhost") == 0 and io.IP == "127.0.0.1"

    assert io.Open() == 0
    assert io.events == [("OnStatus", 0, 1)]  # before Open returned
    assert io.GetValuesXml() == 0
    assert io.GetValuesSensor(0)[0] == -2  # busy: the outputs stay unwritten
    io.wait_for("OnValuesXml")
    count = io.GetValuesCount()
    # open, start (the values request), connect, values with the count
    assert io.events == [("OnStatus", 0, 1), ("OnStatus", 2, 2), ("OnStatus", 3, 2), ("OnValuesXml", count)]
    assert count == 4 + 3 + 2 == io.GetCount(0)
    assert io.GetStatus() == kalax.constants.IOXML_STATUS_OPENED

    items = [io.GetValuesSensor(i) for i in range(count)]
    assert all(rc == 0 for rc, *_ in items)
    rc, name, dev, ip, mac, sensor = items[4]  # the first sensor, after four inputs
    assert (ip, mac, dev) == ("127.0.0.1", "00:0A:59:00:00:01", "Serverraum Süd")
    assert io.IsAnalogInput(sensor.SensType) == 1 and io.IsBinaryInput(items[0][5].SensType) == 1
    assert io.IsBinaryOutput(items[-1][5].SensType) == 1 and io.IsAnalogInput(items[-1][5].SensType) == 0
    assert isinstance(sensor.Value, float) and io.XmlSensorEnumToStr(sensor, 11) == "°C"
    assert io.XmlSensorEnumToStr(sensor, 2) == "%.1f" % sensor.Value
    assert io.XmlSensorEnumToStr(sensor, 14) == ""
    assert io.GetSensor(4, 0)[1:] == (name, dev, ip, mac, sensor)
    # A record made in Python goes in as one the object made.
    assert io.XmlSensorEnumToStr(kalax.Record("XmlSensorT", **sensor._asdict()), 11) == "°C"

    assert io.GetSetupXml() == 0
    assert io.wait_for("OnSetupXml", "OnError") == ("OnSetupXml", 3, io.GetSetupCount())
    assert io.GetSetupCount() == io.GetCount(1) > 0
    assert io.GetSetupSensor(0)[0] == 0 and io.GetSensor(0, 1)[0] == 0

    # The four changes, each answered with the setup it left.
    output = items[-1][5].Id
    for change, status in ((lambda: io.SetOutput(output, 1), 5),
                           (lambda: io.SetRange(sensor.Id, -10.5, 40.25), 6),
                           (lambda: io.SetCalib(sensor.Id, 0.5), 8)):
        assert change() == 0
        assert io.wait_for("OnSetupXml", "OnError")[:2] == ("OnSetupXml", status)

    assert io.Close() == 0
    assert io.events[-1] == ("OnStatus", 1, 0)
    code, sys_code, sdk_text, sys_text = io.GetLastError(1)
    assert isinstance(code, int) and isinstance(sdk_text, str) and isinstance(sys_text, str)
    reached.add("SetSensName")  # its own test below
    assert all_members(io) - reached == set()
    io.close()


def test_a_non_ascii_sensor_name_goes_to_the_unit_and_back(unitsim):
    io = kalax.DispatchWithEvents("KalAx.IoXml", Recorder)
    io.Port = unitsim()
    io.Open()
    io.GetValuesXml()
    io.wait_for("OnValuesXml")
    sensor = io.GetValuesSensor(5)[5]
    name = "Kühl—Склад ☃"
    assert io.SetSensName(sensor.Id, name) == 0
    assert io.wait_for("OnSetupXml", "OnError")[:2] == ("OnSetupXml", 7)
    io.GetValuesXml()
    io.wait_for("OnValuesXml")
    assert io.GetValuesSensor(5)[1] == name
    io.close()


def test_an_unreachable_unit_ends_in_on_error_with_the_texts(closed_port):
    io = kalax.Dispatch("KalAx.IoXml")
    handler = kalax.WithEvents(io, Recorder)  # a handler of its own beside the object
    io.Port = closed_port
    assert io.Open() == 0 and io.GetValuesXml() == 0
    assert handler.wait_for("OnError") == ("OnError", 2)  # IOXML_ERROR_GET_VALUES_XML
    code, sys_code, sdk_text, sys_text = io.GetLastError(0)
    assert code != 0 and sdk_text and isinstance(sys_text, str)
    io.close()


def csv_of(port):
    with urllib.request.urlopen("http://127.0.0.1:%d/spilog.txt" % port, timeout=WAIT) as r:
        return r.read()


def test_kallog_every_member_and_the_events_in_order(unitsim, reached, tmp_path):
    port = unitsim("--log-period", "86400")
    log = kalax.DispatchWithEvents("KalAx.KalLog", Recorder)
    assert (log.Port, log.Csv, log.RecGroup, log.RecType, log.Username, log.Password) == (80, 0, 0, 0, "", "")
    assert log.SetHostIP("localhost") == 0 and log.IP == "127.0.0.1"
    log.IP = "127.0.0.1"
    log.Port, log.Csv = port, 1
    log.Username = log.Password = ""
    log.RecGroup = 260
    assert log.RecGroup == 4
    log.RecGroup = log.RecType = 0
    assert log.RecType == 0

    # A new object reads nothing.
    assert log.ReadLn() == (0, b"") and log.ReadLnArray() == b"" and log.ReadLnStr() == ""
    assert log.ReadRecArray()[0] == ()

    assert log.Open() == 0 and log.GetLogFile() == 0
    log.wait_for("OnDownload", "OnError")
    csv = csv_of(port)
    ev = log.events
    assert ev[:3] == [("OnStatus", 0, 1), ("OnStatus", 2, 2), ("OnStatus", 3, 2)]
    assert ev[3][0] == "OnRead" and sum(e[1] for e in ev if e[0] == "OnRead") >= len(csv)
    assert ev[-1] == ("OnDownload", 1, len(csv))

    lines = csv.decode("cp1252").split("\r\n")
    assert log.ReadLnStr() == lines[0]
    size, data = log.ReadLn()
    assert (size, data) == (len(lines[1]), lines[1].encode("cp1252"))
    assert log.ReadLnArray() == lines[2].encode("cp1252")
    log.ResetLn()
    assert log.ReadLnStr() == lines[0]
    values, when, rec_type, group = log.ReadRecArray()
    assert isinstance(when, datetime.datetime) and values and all(isinstance(v, int) for v in values)
    assert rec_type in (0, 1) and group in (0, 1, 2)

    # Appended whole to a new file from offset 0; a second time nothing is new.
    target = tmp_path / "log.csv"
    assert log.WriteToFile(str(target)) == (0, 0)
    assert target.read_bytes() == csv
    assert log.WriteToFile(str(target))[1] == len(csv)
    assert target.read_bytes() == csv
    assert log.LoadFromCsvFile(str(target)) == len(csv) and log.ReadLnStr() == lines[0]
    assert log.LoadFromBinFile(str(tmp_path / "missing.bin")) == -4 and log.ReadLnStr() == ""

    # A binary download, converted.
    log.Csv = 0
    assert log.GetLogFile() == 0
    assert log.wait_for("OnDownload", "OnError")[:2] == ("OnDownload", 0)
    assert log.ConvertBin2Csv() > 0 and log.ReadLnStr().count(";") > 3

    assert log.Delete() == 0
    assert log.wait_for("OnDelete", "OnError") == ("OnDelete", 0)
    assert log.DeleteAll() == 0
    assert log.wait_for("OnDelete", "OnError") == ("OnDelete", 1)
    assert log.GetStatus() == 1
    assert log.Close() == 0 and log.events[-1] == ("OnStatus", 1, 0)
    assert len(log.GetLastError(1)) == 4
    assert all_members(log) - reached == set()
    log.close()


def test_a_log_download_refused_with_401_ends_in_on_error(unitsim):
    log = kalax.DispatchWithEvents("KalAx.KalLog", Recorder)
    log.Port = unitsim("--user", "admin", "--password", "secret")
    log.Csv, log.Username, log.Password = 1, "admin", "wrong"
    assert log.Open() == 0 and log.GetLogFile() == 0
    assert log.wait_for("OnError") == ("OnError", 2)  # KALLOG_ERROR_GET_CSV
    assert log.GetStatus() == 1
    assert log.GetLastError(0)[:3] == (48, 0, "HTTP: Unauthorized")
    log.close()


def test_failures_raise_com_error_with_the_description():
    io = kalax.Dispatch("KalAx.IoXml")
    with pytest.raises(kalax.ComError) as failed:
        io.IP = "\U0001F600"  # no such character in the system code page
    assert failed.value.hresult == -0x7FFDFFF7 and "code page" in failed.value.description
    with pytest.raises(kalax.ComError) as failed:
        io.Port = "eighty"
    assert failed.value.argument == 0
    with pytest.raises(TypeError):
        io.SetOutput(1)  # two [in] parameters
    with pytest.raises(AttributeError):
        io.NoSuchMember
    with pytest.raises(kalax.ComError):
        kalax.Dispatch("KalAx.NoSuchObject")
    clsid = "{F223A48E-70EE-46EB-AAB8-747C516F6F09}"  # IoXml's, as a CLSID text
    assert kalax.Dispatch(clsid).GetStatus() == 0
    io.close()
    with pytest.raises(kalax.ComError):
        io.GetStatus()


def test_python_m_kalax_register_writes_the_registry(tmp_path):
    target = tmp_path / "other.reg"
    done = subprocess.run([sys.executable, "-m", "kalax", "register", "--registry", str(target)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert str(target) in done.stdout
    text = target.read_text(encoding="cp1252")
    assert "[HKEY_CLASSES_ROOT\\KalAx.IoXml\\CLSID]" in text and "KalAx.KalLog" in text
    assert kalax.library_path.replace("\\", "\\\\") in text
    done = subprocess.run([sys.executable, "-m", "kalax", "unregister", "--registry", str(target), "-q"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout == ""
    assert "KalAx.IoXml" not in target.read_text(encoding="cp1252")


def test_a_class_registered_to_another_copy_of_the_library_is_refused(tmp_path, registry):
    copy = tmp_path / "copy" / "libkalax.so.0"
    copy.parent.mkdir()
    copy.write_bytes(open(kalax.library_path, "rb").read())
    text = registry.read_text(encoding="cp1252")
    registry.write_text(text.replace(kalax.library_path.replace("\\", "\\\\"), str(copy)), encoding="cp1252")
    with pytest.raises(kalax.ComError) as refused:
        kalax.Dispatch("KalAx.IoXml")
    assert str(copy) in refused.value.description and "python3 -m kalax register" in refused.value.description
