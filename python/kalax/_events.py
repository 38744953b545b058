"""Events: a sink (IDispatch made with ctypes) connected to an object's event
interface calls a handler's On... methods; the thread that made the object
delivers them with pump() or on an asyncio loop after attach()."""
import ctypes
import threading
import time
import weakref
from ctypes import CFUNCTYPE, POINTER, byref, c_int32, c_uint16, c_uint32, c_void_p

from . import _native as n
from . import _typeinfo as ti
from . import _variant as va
from ._dispatch import CDispatch, create, ensure_apartment

_local = threading.local()
_orphans = []  # sinks still connected to objects that no wrapper holds


def _pending():
    if not hasattr(_local, "errors"):
        _local.errors = []
    return _local.errors


def _handler_failed(exc):
    """A handler raised: kept for pump() to raise, or for the loop's exception
    handler; never let through the library's call into the sink."""
    _pending().append(exc)


class Sink:
    """The IDispatch a connection point calls. Holds its ctypes callbacks for
    as long as it lives; the object that owns it keeps it."""

    def __init__(self, handler, events, owner=None):
        if handler is owner:
            # The object is its own handler: a strong link would make a cycle, and the
            # object would wait for the collector (maybe on another thread) to go.
            self._handler = weakref.ref(handler)
        else:
            # A separate handler may be held by nothing but the object: keep it.
            self._handler = lambda: handler
        self.events = events
        self.refs = 1
        H = n.HRESULT
        self.funcs = [
            CFUNCTYPE(H, c_void_p, POINTER(n.GUID), POINTER(c_void_p))(self._qi),
            CFUNCTYPE(c_uint32, c_void_p)(self._add_ref),
            CFUNCTYPE(c_uint32, c_void_p)(self._release),
            CFUNCTYPE(H, c_void_p, POINTER(c_uint32))(self._type_info_count),
            CFUNCTYPE(H, c_void_p, c_uint32, c_uint32, POINTER(c_void_p))(self._type_info),
            CFUNCTYPE(H, c_void_p, POINTER(n.GUID), c_void_p, c_uint32, c_uint32, POINTER(c_int32))(self._ids),
            CFUNCTYPE(H, c_void_p, c_int32, POINTER(n.GUID), c_uint32, c_uint16, POINTER(n.DISPPARAMS),
                      POINTER(n.VARIANT), POINTER(n.EXCEPINFO), POINTER(c_uint32))(self._invoke),
        ]
        self.vtable = (c_void_p * len(self.funcs))(*[ctypes.cast(f, c_void_p) for f in self.funcs])
        self.object = (c_void_p * 1)(ctypes.cast(self.vtable, c_void_p))
        self.ptr = ctypes.addressof(self.object)

    @property
    def handler(self):
        return self._handler()

    # Each callback checks its pointers: an exception must not cross into the library.
    def _qi(self, this, iid, out):
        if not iid or not out:
            return n.E_POINTER
        g = iid.contents
        if g == n.IID_IUnknown or g == n.IID_IDispatch or g == self.events.guid:
            out[0] = this
            self.refs += 1
            return n.S_OK
        out[0] = None
        return n.E_NOINTERFACE

    def _add_ref(self, this):
        self.refs += 1
        return self.refs

    def _release(self, this):
        self.refs -= 1
        return max(self.refs, 0)

    def _type_info_count(self, this, out):
        if not out:
            return n.E_POINTER
        out[0] = 0
        return n.S_OK

    def _type_info(self, this, index, lcid, out):
        return n.E_NOTIMPL

    def _ids(self, this, iid, names, count, lcid, ids):
        return n.E_NOTIMPL

    def _invoke(self, this, dispid, iid, lcid, flags, params, result, excep, arg_err):
        try:
            member = self.events.by_dispid.get(dispid)
            if member is None:
                return n.DISP_E_MEMBERNOTFOUND
            handler = self.handler
            if handler is None:  # its object is going: nothing to deliver to
                return n.S_OK
            method = getattr(handler, member.name, None)
            hook = getattr(handler, "_kalax_event", None)
            if method is None and hook is None:
                return n.S_OK
            if not params:
                return n.E_POINTER
            p = params.contents
            # rgvarg holds the last declared argument first.
            args = [va.to_python(p.rgvarg[k]) for k in range(p.cArgs - 1, -1, -1)]
            try:
                if method is not None:
                    method(*args)
            finally:
                if hook is not None:
                    hook(member.name, args)
            return n.S_OK
        except BaseException as exc:
            _handler_failed(exc)
            return n.DISP_E_EXCEPTION


class EventsObject(CDispatch):
    """An automation object connected to a handler (see DispatchWithEvents)."""

    def _connect(self, handler):
        events = self._iface.source
        if events is None:
            raise ti.ComError(n.E_NOINTERFACE, "%s fires no events" % self._iface.name)
        events = ti.interface_of(events)
        sink = Sink(handler, events, owner=self)
        hr, container = n.query_interface(self._oleobj_, n.IID_IConnectionPointContainer)
        ti.check(hr)
        point = c_void_p()
        try:
            find = n.method(container, 4, n.HRESULT, POINTER(n.GUID), POINTER(c_void_p))
            ti.check(find(container, byref(events.guid), byref(point)))
        finally:
            n.release(container)
        cookie = c_uint32()
        hr = n.method(point.value, 5, n.HRESULT, c_void_p, POINTER(c_uint32))(point.value, sink.ptr, byref(cookie))
        if hr < 0:
            n.release(point.value)
            raise ti.ComError(hr, "connecting the event handler")
        object.__setattr__(self, "_sink", sink)
        object.__setattr__(self, "_point", point.value)
        object.__setattr__(self, "_cookie", cookie.value)

    def close(self):
        """Disconnects the handler and releases the object; events still queued
        for it are dropped, never delivered afterwards."""
        point = self.__dict__.get("_point")
        if point and threading.get_ident() == self._thread:
            object.__setattr__(self, "_point", None)
            n.method(point, 6, n.HRESULT, c_uint32)(point, self._cookie)
            n.release(point)
        elif point:
            # Collected on another thread: the object stays connected, so its
            # sink's callbacks must outlive this wrapper.
            _orphans.append(self.__dict__.get("_sink"))
        CDispatch.close(self)


def DispatchWithEvents(name, handler_class):
    """A new object of the class `name` whose events call the methods of
    `handler_class` (OnStatus, OnValuesXml, OnDownload, ...) with the events'
    arguments, as pywin32's DispatchWithEvents: the result is an instance of a
    class made from both, so `self` in a handler is the object itself and its
    members are reachable there. The handler's __init__ runs (without
    arguments) once the events are connected. Events are delivered while the
    thread that made the object runs pump() or an asyncio loop after attach()."""
    ensure_apartment()
    ptr = create(name)
    cls = type(handler_class.__name__, (handler_class, EventsObject), {})
    obj = cls.__new__(cls)
    EventsObject.__init__(obj, ptr)
    obj._connect(obj)
    init = getattr(handler_class, "__init__", None)
    if init is not None and init is not object.__init__:
        init(obj)
    return obj


def WithEvents(obj, handler_class):
    """Connects an existing object's events to a new `handler_class` instance,
    which is returned; the object stays as it is (pywin32's WithEvents)."""
    handler = handler_class()
    proxy = EventsObject(obj._oleobj_, owned=False)
    proxy._connect(handler)
    handler._kalax_connection = proxy  # the connection lives as long as the handler
    return handler


# ---- delivery -------------------------------------------------------------------

def _raise_pending():
    errors = _pending()
    if errors:
        first = errors[0]
        del errors[:]
        raise first


def pump(timeout=0.0):
    """Delivers the events of the calling thread's objects: waits up to
    `timeout` seconds for the first one, then delivers all that are pending.
    Returns how many were delivered. An exception raised by a handler is
    raised here, after the delivery."""
    ensure_apartment()
    if timeout is None or timeout < 0:
        raise ValueError("pump() needs a timeout of 0 seconds or more")
    deadline = time.monotonic() + timeout
    delivered = 0
    while True:
        # Slices of at most 100 ms let Python act on signals (Ctrl-C) between them.
        left = deadline - time.monotonic()
        got = n.events_wait(max(0, min(100, int(left * 1000))))
        delivered += got
        if got or left <= 0.1:
            break
    _raise_pending()
    return delivered


def pump_until(condition, timeout):
    """Delivers events until `condition()` holds or `timeout` seconds have
    passed; returns the condition's last value."""
    deadline = time.monotonic() + timeout
    while not condition():
        left = deadline - time.monotonic()
        if left <= 0:
            return condition()
        pump(min(left, 0.1))
    return True


def events_fd():
    """The calling thread's event descriptor (readable while events wait)."""
    ensure_apartment()
    fd = n.events_fd()
    if fd < 0:
        raise OSError("no event queue can be made for this thread")
    return fd


def _on_readable(loop):
    n.events_dispatch(0)
    errors = _pending()
    while errors:
        exc = errors.pop(0)
        loop.call_exception_handler({"message": "exception in a kalax event handler", "exception": exc})


def attach(loop=None):
    """Delivers the events of this thread's objects on the asyncio `loop`
    (default: the running loop, else the thread's event loop) through
    loop.add_reader on the thread's event descriptor. The loop must run on
    this thread. A handler's exception goes to the loop's exception handler.
    Calling it again for the same loop does nothing; detach() undoes it."""
    import asyncio
    if loop is None:
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:
            loop = asyncio.get_event_loop_policy().get_event_loop()
    if getattr(_local, "loop", None) is loop:
        return loop
    if getattr(_local, "loop", None) is not None:
        detach()
    fd = events_fd()
    loop.add_reader(fd, _on_readable, loop)
    _local.loop = loop
    return loop


def detach():
    """Stops delivering this thread's events on the loop given to attach()."""
    loop = getattr(_local, "loop", None)
    _local.loop = None
    if loop is not None and not loop.is_closed():
        loop.remove_reader(n.events_fd())

