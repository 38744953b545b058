"""KalAx from Python: the automation objects "KalAx.IoXml" and "KalAx.KalLog"
of libkalax.so through ctypes, as pywin32 users know them, with asyncio.

Objects (register the library once: ``python3 -m kalax register``)::

    import kalax
    io = kalax.Dispatch("KalAx.IoXml")        # or a CLSID "{...}"
    io.IP, io.Port = "10.0.0.9", 80           # properties: get and put
    rc = io.Open()                            # methods return RetVal
    rc, name, dev, ip, mac, sensor = io.GetValuesSensor(0)   # out parameters follow it

Only [in] parameters are passed; the result comes first, the [out]
parameters follow as a tuple. BSTR is str, DATE is a naive local datetime,
SAFEARRAYs are bytes (of VT_UI1) or tuples, the record XmlSensorT is a small
object with named fields (make one with ``kalax.Record("XmlSensorT")``).
A failed call raises ComError with the object's error description.

Events (pywin32's DispatchWithEvents)::

    class Handler:
        def OnStatus(self, event, status): ...
        def OnValuesXml(self, count): ...
    io = kalax.DispatchWithEvents("KalAx.IoXml", Handler)

Events are delivered on the thread that made the object, while it runs
``kalax.pump(timeout)`` (a plain script) or an asyncio loop after
``kalax.attach(loop)`` (``loop.add_reader`` on the thread's event descriptor).
A handler's exception is raised by pump(), or given to the loop's exception
handler; it never crosses into the library. close() (or dropping the last
reference) disconnects and releases an object; its queued events are dropped.

asyncio: ``await unit.values()`` with ``kalax.Unit(host, port)`` (an IoXml),
``await log.download()`` with ``kalax.Log(host, port)`` (a KalLog), or any
event as a future with a handler derived from ``kalax.AsyncEvents``. A unit
that fails raises UnitError; one that stays silent raises TimeoutError after
the timeout given.

Objects belong to the thread that made them (their apartment): call them,
and deliver their events, there only."""
from ._typeinfo import ComError, constants as _constant_values
from ._dispatch import CDispatch, Dispatch, Record
from ._events import DispatchWithEvents, WithEvents, attach, detach, events_fd, pump, pump_until
from ._aio import AsyncEvents, Item, Log, Unit, UnitError
from . import _native

__all__ = ["AsyncEvents", "CDispatch", "ComError", "Dispatch", "DispatchWithEvents", "Item", "Log", "Record",
           "Unit", "UnitError", "WithEvents", "attach", "constants", "detach", "events_fd", "pump", "pump_until",
           "register", "unregister", "library_path"]

library_path = _native.LIBRARY_PATH


class _Constants:
    """The enumerators of the type libraries of the objects made so far, by
    name (kalax.constants.IOXML_STATUS_OPENED), as pywin32's constants."""

    def __getattr__(self, name):
        try:
            return _constant_values[name]
        except KeyError:
            raise AttributeError("no constant %r (is an object of its type library made yet?)" % name) from None

    def __dir__(self):
        return sorted(_constant_values)


constants = _Constants()


def register():
    """Makes "KalAx.IoXml", "KalAx.KalLog" and the type library KalAx 1.0
    known to hosts: the library's DllRegisterServer writes them into the
    registry file ($KALAX_REGISTRY, else ~/.local/share/kalax/registry.reg),
    naming the libkalax.so this package uses. Raises ComError on failure."""
    from ._typeinfo import check
    check(_native.DllRegisterServer())


def unregister():
    """Removes both objects from the registry file; the type library stays."""
    from ._typeinfo import check
    check(_native.DllUnregisterServer())
