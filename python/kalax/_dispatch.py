"""Late-bound automation objects: attribute reads and writes become property
gets and puts, calls become methods, all through GetIDsOfNames/Invoke with the
directions the type library gives."""
import ctypes
import threading
from ctypes import POINTER, byref, c_int32, c_uint16, c_uint32, c_void_p

from . import _native as n
from . import _typeinfo as ti
from . import _variant as va

_apartment = threading.local()


def ensure_apartment():
    """Makes the calling thread an apartment once; objects belong to it."""
    if not getattr(_apartment, "ready", False):
        ti.check(n.CoInitialize(None))
        _apartment.ready = True


def clsid_of(name):
    """The CLSID of a ProgID ("KalAx.IoXml") or of a "{...}" text."""
    ensure_apartment()
    clsid = n.GUID()
    buf = n.wide(name)
    hr = n.CLSIDFromString(buf, byref(clsid))
    if hr < 0:
        raise ti.ComError(hr, ti.error_info_text() or "no class %r is registered" % name)
    return clsid


def create(name):
    """A new object of the class `name` as a raw IDispatch pointer (owned)."""
    clsid = clsid_of(name) if isinstance(name, str) else name
    out = c_void_p()
    hr = n.CoCreateInstance(byref(clsid), None, n.CLSCTX_INPROC_SERVER, byref(n.IID_IDispatch), byref(out))
    if hr < 0:
        raise ti.ComError(hr, ti.error_info_text() or "cannot create %s" % (name,))
    other = n.other_kalax_of(ctypes.cast(out, POINTER(c_void_p))[0])
    if other:
        # Its events would go to that copy's queues, which nothing here delivers.
        n.release(out.value)
        raise ti.ComError(n.CO_E_DLLNOTFOUND, "%s is registered to %s, not to the library this package uses (%s): "
                          "run python3 -m kalax register" % (name, other, n.LIBRARY_PATH))
    return out.value


_invoke_proto = ctypes.CFUNCTYPE(n.HRESULT, c_void_p, c_int32, POINTER(n.GUID), c_uint32, c_uint16,
                                 POINTER(n.DISPPARAMS), POINTER(n.VARIANT), POINTER(n.EXCEPINFO),
                                 POINTER(c_uint32))


class CDispatch:
    """An automation object. Reading an attribute gets a property (or gives a
    callable for a method), assigning one puts a property; a method returns its
    result, followed by its out parameters as a tuple when it has any:

        rc, name, dev, ip, mac, sensor = io.GetValuesSensor(0)

    Only the [in] parameters are passed, in their declared order. A failed
    call raises ComError. The object is released with close() or when
    collected, on the thread that made it."""

    def __init__(self, ptr=None, owned=True):
        if ptr is None:
            # A handler's __init__ calling super().__init__() reaches here made already.
            if "_oleobj_" in self.__dict__:
                return
            raise TypeError("CDispatch needs an interface pointer; kalax.Dispatch() makes objects")
        if not owned:
            n.add_ref(ptr)
        object.__setattr__(self, "_oleobj_", ptr)
        object.__setattr__(self, "_thread", threading.get_ident())
        count = c_uint32()
        info = c_void_p()
        getcount = n.method(ptr, 3, n.HRESULT, POINTER(c_uint32))
        gettype = n.method(ptr, 4, n.HRESULT, c_uint32, c_uint32, POINTER(c_void_p))
        if getcount(ptr, byref(count)) < 0 or count.value < 1 or gettype(ptr, 0, 0, byref(info)) < 0:
            n.release(ptr)
            object.__setattr__(self, "_oleobj_", None)
            raise ti.ComError(n.E_NOTIMPL, "the object describes no type")
        object.__setattr__(self, "_iface", ti.interface_of(ti.TypeInfo(info.value)))
        vtable = ctypes.cast(ptr, POINTER(POINTER(c_void_p)))[0]
        object.__setattr__(self, "_invoke", _invoke_proto(vtable[6]))

    # ---- lifetime
    def close(self):
        """Releases the object now (what `del` does when nothing else holds it)."""
        ptr = self.__dict__.get("_oleobj_")
        if ptr:
            object.__setattr__(self, "_oleobj_", None)
            # Another thread may not touch it: then it stays until the process ends.
            if threading.get_ident() == self._thread:
                n.release(ptr)

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return "<kalax object %s at 0x%x>" % (self._iface.name, self._oleobj_ or 0)

    def __dir__(self):
        i = self._iface
        return sorted(set(object.__dir__(self)) | {m.name for t in (i.methods, i.gets, i.puts) for m in t.values()})

    # ---- members
    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        key = name.lower()
        get = self._iface.gets.get(key)
        if get is not None and not get.ins:
            return self._call(get, n.DISPATCH_PROPERTYGET, ())
        member = self._iface.methods.get(key) or get
        if member is None:
            raise AttributeError("%s has no member %r" % (self._iface.name, name))
        kind = n.DISPATCH_METHOD if member.kind == n.INVOKE_FUNC else n.DISPATCH_PROPERTYGET

        def call(*args):
            return self._call(member, kind, args)
        call.__name__ = member.name
        call.__doc__ = "%s(%s)" % (member.name, ", ".join(p.name for p in member.ins))
        return call

    def __setattr__(self, name, value):
        put = self._iface.puts.get(name.lower())
        if put is None:
            if name in self.__dict__ or not self._iface_has(name):
                object.__setattr__(self, name, value)
                return
            raise AttributeError("%s.%s cannot be set" % (self._iface.name, name))
        self._call(put, n.DISPATCH_PROPERTYPUT, (value,))

    def _iface_has(self, name):
        key = name.lower()
        return key in self._iface.gets or key in self._iface.methods

    def _dispid(self, name):
        """The member's DISPID as the object's GetIDsOfNames gives it (once per
        interface); the type library gives only the parameters' directions."""
        dispids = self._iface.dispids
        if name not in dispids:
            text = n.wide(name)
            names = (c_void_p * 1)(ctypes.addressof(text))
            out = c_int32()
            get_ids = n.method(self._oleobj_, 5, n.HRESULT, POINTER(n.GUID), POINTER(c_void_p), c_uint32, c_uint32,
                               POINTER(c_int32))
            ti.check(get_ids(self._oleobj_, byref(n.IID_NULL), names, 1, n.LOCALE_SYSTEM_DEFAULT, byref(out)),
                     "%s has no member %r" % (self._iface.name, name))
            dispids[name] = out.value
        return dispids[name]

    def _call(self, member, flags, args):
        ptr = self._oleobj_
        if not ptr:
            raise ti.ComError(n.E_POINTER, "the object has been released")
        declared, ins = member.declared, member.ins
        if len(args) != len(ins):
            raise TypeError("%s takes %d argument%s (%s), %d given" % (
                member.name, len(ins), "" if len(ins) == 1 else "s", ", ".join(p.name for p in ins), len(args)))
        made = va.Arguments()
        rgvarg = (n.VARIANT * max(1, len(declared)))()
        outs = []  # the VARIANTs the [out] parameters are written to, in declared order
        out_values = (n.VARIANT * max(1, len(declared)))()
        values = iter(args)
        try:
            # rgvarg holds the arguments last-first.
            for i, p in enumerate(declared):
                slot = rgvarg[len(declared) - 1 - i]
                if p.out:
                    target = out_values[i]
                    n.VariantInit(byref(target))
                    slot.vt = n.VT_BYREF | n.VT_VARIANT
                    slot.v.ptr = ctypes.addressof(target)
                    outs.append(target)
                else:
                    made.fill(slot, next(values), p)
            named = (c_int32 * 1)(n.DISPID_PROPERTYPUT)
            params = n.DISPPARAMS(rgvarg, named if flags == n.DISPATCH_PROPERTYPUT else None, len(declared),
                                  1 if flags == n.DISPATCH_PROPERTYPUT else 0)
            result = n.VARIANT()
            excep = n.EXCEPINFO()
            arg_err = c_uint32(0xFFFFFFFF)
            hr = self._invoke(ptr, self._dispid(member.name), byref(n.IID_NULL), n.LOCALE_SYSTEM_DEFAULT, flags, byref(params),
                              byref(result), byref(excep), byref(arg_err))
            if hr < 0:
                description = ""
                if hr == n.DISP_E_EXCEPTION:
                    description = n.bstr_text(excep.bstrDescription)
                    hr = excep.scode or hr
                for b in (excep.bstrSource, excep.bstrDescription, excep.bstrHelpFile):
                    n.SysFreeString(b)
                argument = None
                if arg_err.value != 0xFFFFFFFF and arg_err.value < len(declared):
                    argument = len(declared) - 1 - arg_err.value
                raise ti.ComError(hr, description or ti.error_info_text(), argument)
            try:
                value = va.to_python(result, self._wrap)
                extra = [va.to_python(o, self._wrap) for o in outs]
            finally:
                n.VariantClear(byref(result))
                for o in outs:
                    n.VariantClear(byref(o))
        finally:
            for i in range(len(declared)):
                if not declared[i].out:
                    made.clear(rgvarg[len(declared) - 1 - i])
        if not outs:
            return value
        if any(p.retval for p in member.params):
            return tuple([value] + extra)
        return extra[0] if len(extra) == 1 else tuple(extra)

    @staticmethod
    def _wrap(ptr):
        return CDispatch(ptr)


def Dispatch(name):
    """A new object of the class `name`, a ProgID ("KalAx.IoXml") or a CLSID
    text ("{F223A48E-...}"), made on the calling thread (its apartment)."""
    ensure_apartment()
    return CDispatch(create(name))


class Record:
    """Record("XmlSensorT", obj): a new, zeroed record of that type from the
    type library of `obj`, with its fields as attributes (as pywin32's Record)."""

    def __new__(cls, name, obj=None, **fields):
        t = ti.record_types().get(name)
        if t is None:
            raise ValueError("no record type %r is known (make an object of its library first)" % name)
        return t.record_class(**fields)
