"""asyncio: futures resolved by an object's events, and two small faces over
the automation objects, Unit (IoXml) and Log (KalLog), whose requests are
awaited. Everything runs on the loop's thread; the events arrive through
attach()."""
import asyncio

from ._events import DispatchWithEvents, attach
from ._typeinfo import constants


class UnitError(Exception):
    """A unit's request failed. `code`: the operation that failed (the OnError
    argument, an IoXmlErrorT or KalLogErrorT, or None when the request could
    not start); `sdk_code`, `sys_code`, `text`: the object's GetLastError (0, 0
    and the reason when the host is neither an address nor a name that resolves)."""

    def __init__(self, where, code, sdk_code, sys_code, sdk_text, sys_text):
        self.code, self.sdk_code, self.sys_code = code, sdk_code, sys_code
        self.text = sdk_text + (" [%s]" % sys_text if sys_text else "")
        super().__init__("%s: error %d: %s" % (where, sdk_code, self.text))


class AsyncEvents:
    """A handler base for DispatchWithEvents whose `expect(*names)` gives a
    future that the first of the named events resolves with (name, args):

        io = kalax.DispatchWithEvents("KalAx.IoXml", kalax.AsyncEvents)
        done = io.expect("OnValuesXml", "OnError")
        io.GetValuesXml()
        name, args = await asyncio.wait_for(done, 10)

    Subclasses may define On... methods as well; they run first."""

    def __init__(self):
        self._waiting = []

    def expect(self, *names):
        attach()
        future = asyncio.get_running_loop().create_future()
        self._waiting.append((names, future))
        return future

    def _kalax_event(self, name, args):
        keep = []
        for names, future in self._waiting:
            if future.done():
                continue
            if name in names:
                future.set_result((name, tuple(args)))
            else:
                keep.append((names, future))
        self._waiting = keep


class Item:
    """One input, sensor or output: `name` (the unit's, UTF-8 decoded),
    `device`, `ip`, `mac`, the record `sensor` (an XmlSensorT) and the
    library's display texts `value_text` and `units_text`."""

    __slots__ = ("name", "device", "ip", "mac", "sensor", "value_text", "units_text")

    def __init__(self, **fields):
        for k, v in fields.items():
            setattr(self, k, v)

    def __repr__(self):
        return "Item(%r, %s %s)" % (self.name, self.value_text, self.units_text)


class _Face:
    progid = ""

    def __init__(self, host, port=80, user="", password=""):
        attach()
        self.host, self.port = host, port
        self.obj = DispatchWithEvents(self.progid, AsyncEvents)
        try:
            if self.obj.SetHostIP(host) != 0:
                # The object keeps no error of its own for this: GetLastError may tell an older one.
                raise UnitError("%s:%d" % (host, port), None, 0, 0, "%r is no address and no name that resolves"
                                % host, "")
            self.obj.Port = port
            self.obj.Username = user
            self.obj.Password = password
        except BaseException:
            self.obj.close()  # nobody gets the face to close it
            raise

    def __getattr__(self, name):
        obj = self.__dict__.get("obj")
        if obj is None:
            raise AttributeError(name)
        return getattr(obj, name)

    def _error(self, code):
        sdk, sys_code, sdk_text, sys_text = self.obj.GetLastError(0)
        return UnitError("%s:%d" % (self.host, self.port), code, sdk, sys_code, sdk_text, sys_text)

    async def _request(self, method, done, timeout):
        """Starts `method` and waits for the event `done` or OnError."""
        if self.obj.GetStatus() == 0 and self.obj.Open() != 0:
            raise self._error(None)
        done = self.obj.expect(done, "OnError")
        if getattr(self.obj, method)() != 0:
            done.cancel()
            raise self._error(None)
        try:
            name, args = await asyncio.wait_for(done, timeout)
        except asyncio.TimeoutError:
            # Closing ends the request, so nothing of it arrives later.
            self.obj.Close()
            raise TimeoutError("%s:%d did not answer within %g s" % (self.host, self.port, timeout)) from None
        if name == "OnError":
            raise self._error(args[0])
        return args

    def close(self):
        """Closes the unit's module and releases the object."""
        obj = self.__dict__.get("obj")
        if obj is not None and obj._oleobj_:
            try:
                obj.Close()
            finally:
                obj.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        self.close()


class Unit(_Face):
    """A monitoring unit on the running asyncio loop (an IoXml underneath, in
    `obj`; its members are reachable on the Unit too):

        async with kalax.Unit("10.0.0.9") as unit:
            for item in await unit.values():
                print(item.name, item.value_text, item.units_text)

    values() and setup() open the unit when needed, request the document and
    return its items once OnValuesXml / OnSetupXml arrives. They raise
    UnitError when the request fails (OnError: refused, 401, cut off ...) and
    TimeoutError when nothing arrives within `timeout` seconds; the unit is
    closed then, so a later call starts afresh."""

    progid = "KalAx.IoXml"

    async def values(self, timeout=30.0):
        return self._items((await self._request("GetValuesXml", "OnValuesXml", timeout))[-1], 0)

    async def setup(self, timeout=30.0):
        return self._items((await self._request("GetSetupXml", "OnSetupXml", timeout))[-1], 1)

    def _items(self, count, setup):
        items = []
        for i in range(count):
            rc, name, device, ip, mac, sensor = self.obj.GetSensor(i, setup)
            if rc != 0:  # a short list is no answer
                raise self._error(None)
            items.append(Item(name=name, device=device, ip=ip, mac=mac, sensor=sensor,
                              value_text=self.obj.XmlSensorEnumToStr(sensor, 2),
                              units_text=self.obj.XmlSensorEnumToStr(sensor, 11)))
        return items


class Log(_Face):
    """A unit's data log on the running asyncio loop (a KalLog underneath, in
    `obj`): download() awaits OnDownload and returns its size in bytes; then
    lines() gives the CSV lines, and append_to(path) appends the lines the
    file does not hold yet (WriteToFile) and returns how many bytes of the
    download they were (None after a binary download, converted first).
    Failures and silence raise as Unit's do."""

    progid = "KalAx.KalLog"

    def __init__(self, host, port=80, user="", password="", csv=True):
        super().__init__(host, port, user, password)
        self.size = None  # till a download
        self.obj.Csv = 1 if csv else 0

    async def download(self, timeout=60.0):
        self.size = (await self._request("GetLogFile", "OnDownload", timeout))[-1]
        return self.size

    def lines(self):
        self.obj.ResetLn()
        while True:
            line = self.obj.ReadLnStr()
            if not line:
                return
            yield line

    def append_to(self, path):
        if self.size is None:
            raise RuntimeError("append_to() needs a download() first")
        rc, seek = self.obj.WriteToFile(str(path))
        if rc < 0:
            raise self._error(constants["KALLOG_ERROR_WRITE_TO_FILE"])
        return self.size - seek if self.obj.Csv else None
