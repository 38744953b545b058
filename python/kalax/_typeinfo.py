"""What the type library says about an object: members with their parameters
and directions, records with their fields, the event interface of a class.
Read once per interface through ITypeInfo and kept."""
import ctypes
import threading
from ctypes import POINTER, byref, c_int32, c_uint32, c_void_p

from . import _native as n


class ComError(Exception):
    """A failed call into an automation object: `hresult` (signed 32 bits),
    `description` (the object's error info, or ""), `argument` (the index of a
    rejected argument, or None)."""

    def __init__(self, hresult, description="", argument=None):
        self.hresult = hresult
        self.description = description
        self.argument = argument
        text = "HRESULT 0x%08X" % (hresult & 0xFFFFFFFF)
        if description:
            text += ": " + description
        if argument is not None:
            text += " (argument %d)" % argument
        super().__init__(text)


def check(hr, what=""):
    if hr < 0:
        raise ComError(hr, what or error_info_text())
    return hr


def error_info_text():
    """The calling thread's error info description (taken and cleared), or ""."""
    info = c_void_p()
    if n.GetErrorInfo(0, byref(info)) != n.S_OK or not info.value:
        return ""
    try:
        text = c_void_p()
        n.method(info.value, 5, n.HRESULT, POINTER(c_void_p))(info.value, byref(text))
        try:
            return n.bstr_text(text.value)
        finally:
            n.SysFreeString(text.value)
    finally:
        n.release(info.value)


class Param:
    __slots__ = ("name", "vt", "flags", "user")

    def __init__(self, name, vt, flags, user):
        self.name, self.vt, self.flags, self.user = name, vt, flags, user

    @property
    def out(self):
        return bool(self.flags & n.PARAMFLAG_FOUT)

    @property
    def retval(self):
        return bool(self.flags & n.PARAMFLAG_FRETVAL)


class Member:
    """`declared`: the parameters a call passes (all but a retval, which is an
    [out] as well); `ins`: those the caller gives values for."""
    __slots__ = ("name", "dispid", "kind", "params", "declared", "ins")

    def __init__(self, name, dispid, kind, params):
        self.name, self.dispid, self.kind, self.params = name, dispid, kind, params
        self.declared = [p for p in params if not p.retval]
        self.ins = [p for p in self.declared if not p.out]


class TypeInfo:
    """One ITypeInfo, owned (released when collected)."""

    def __init__(self, ptr):
        self.ptr = ptr

    def __del__(self):
        if self.ptr:
            n.release(self.ptr)
            self.ptr = None

    def _call(self, slot, *args, argtypes=()):
        return n.method(self.ptr, slot, n.HRESULT, *argtypes)(self.ptr, *args)

    def attr(self):
        out = POINTER(n.TYPEATTR)()
        check(self._call(3, byref(out), argtypes=(POINTER(POINTER(n.TYPEATTR)),)))
        try:
            a = out.contents
            return {"guid": n.GUID.from_buffer_copy(a.guid), "kind": a.typekind, "funcs": a.cFuncs,
                    "vars": a.cVars, "impls": a.cImplTypes, "size": a.cbSizeInstance}
        finally:
            n.method(self.ptr, 19, None, POINTER(n.TYPEATTR))(self.ptr, out)

    def names(self, memid, count=64):
        names = (c_void_p * count)()
        got = c_uint32()
        check(self._call(7, memid, names, count, byref(got), argtypes=(c_int32, c_void_p, c_uint32, POINTER(c_uint32))))
        result = []
        for i in range(got.value):
            result.append(n.bstr_text(names[i]))
            n.SysFreeString(names[i])
        return result

    def ref(self, href):
        out = c_void_p()
        check(self._call(14, href, byref(out), argtypes=(c_uint32, POINTER(c_void_p))))
        return TypeInfo(out.value)

    def name(self):
        out = c_void_p()
        check(self._call(12, -1, byref(out), None, None, None,
                         argtypes=(c_int32, POINTER(c_void_p), c_void_p, c_void_p, c_void_p)))
        try:
            return n.bstr_text(out.value)
        finally:
            n.SysFreeString(out.value)

    @staticmethod
    def _pointee(td):
        """A TYPEDESC through one pointer level."""
        return ctypes.cast(td.u, POINTER(n.TYPEDESC)).contents if td.vt == n.VT_PTR else td

    def _user(self, td):
        """(vt, user type) of a TYPEDESC, through one pointer level."""
        td = self._pointee(td)
        if td.vt != n.VT_USERDEFINED:
            return td.vt, None
        return td.vt, user_type(self.ref((td.u or 0) & 0xFFFFFFFF))

    def members(self):
        result = []
        for i in range(self.attr()["funcs"]):
            out = POINTER(n.FUNCDESC)()
            check(self._call(5, i, byref(out), argtypes=(c_uint32, POINTER(POINTER(n.FUNCDESC)))))
            try:
                f = out.contents
                names = self.names(f.memid)
                params = []
                kind = f.invkind
                # The names list leaves out a retval and a put's value.
                named = iter(names[1:])
                for k in range(f.cParams):
                    e = f.lprgelemdescParam[k]
                    flags = e.paramdesc.wParamFlags
                    vt, user = self._user(e.tdesc)
                    pname = "Value" if (flags & n.PARAMFLAG_FRETVAL or kind == n.INVOKE_PROPERTYPUT) \
                        else next(named, "arg%d" % k)
                    params.append(Param(pname, vt, flags, user))
                result.append(Member(names[0], f.memid, kind, params))
            finally:
                n.method(self.ptr, 20, None, POINTER(n.FUNCDESC))(self.ptr, out)
        return result

    def _vars(self):
        """(name, VARDESC) of each variable; the VARDESC lives until the next one."""
        for i in range(self.attr()["vars"]):
            out = POINTER(n.VARDESC)()
            check(self._call(6, i, byref(out), argtypes=(c_uint32, POINTER(POINTER(n.VARDESC)))))
            try:
                v = out.contents
                yield self.names(v.memid)[0], v
            finally:
                n.method(self.ptr, 21, None, POINTER(n.VARDESC))(self.ptr, out)

    def fields(self):
        """A record's fields: [(name, offset, vt)]."""
        return [(name, v.oInst or 0, self._pointee(v.elemdescVar.tdesc).vt) for name, v in self._vars()]

    def enum_values(self):
        return {name: n.VARIANT.from_address(v.oInst).v.lVal for name, v in self._vars()}

    def implementations(self):
        for i in range(self.attr()["impls"]):
            href, flags = c_uint32(), c_int32()
            check(self._call(8, i, byref(href), argtypes=(c_uint32, POINTER(c_uint32))))
            check(self._call(9, i, byref(flags), argtypes=(c_uint32, POINTER(c_int32))))
            yield self.ref(href.value), flags.value

    def _library(self):
        lib = c_void_p()
        check(self._call(18, byref(lib), None, argtypes=(POINTER(c_void_p), c_void_p)))
        return lib.value

    def library_guid(self):
        """The GUID (as bytes) of the library this type belongs to."""
        lib = self._library()
        try:
            attr = POINTER(n.GUID)()  # a TLIBATTR begins with the library's GUID
            check(n.method(lib, 7, n.HRESULT, POINTER(POINTER(n.GUID)))(lib, byref(attr)))
            try:
                return bytes(attr.contents)
            finally:
                n.method(lib, 12, None, POINTER(n.GUID))(lib, attr)
        finally:
            n.release(lib)

    def library_types(self):
        """Every type of the library this one belongs to."""
        lib = self._library()
        try:
            count = n.method(lib, 3, c_uint32)(lib)
            for i in range(count):
                out = c_void_p()
                check(n.method(lib, 4, n.HRESULT, c_uint32, POINTER(c_void_p))(lib, i, byref(out)))
                yield TypeInfo(out.value)
        finally:
            n.release(lib)


class UserType:
    """An enumeration or a record of the type library."""

    def __init__(self, kind, name, guid, size, fields):
        self.kind, self.name, self.guid, self.size = kind, name, guid, size
        self.fields = fields  # records: [(name, offset, vt)]
        self.record_class = make_record_class(self) if kind == n.TKIND_RECORD else None


_lock = threading.Lock()
_user_types = {}
_interfaces = {}
_libraries = {}  # by GUID: {a class's default interface GUID: the class's event interface}
constants = {}  # the enumerators of every type library met, by name


def user_type(info):
    a = info.attr()
    key = (bytes(a["guid"]), info.name())
    with _lock:
        known = _user_types.get(key)
    if known:
        return known
    t = UserType(a["kind"], key[1], a["guid"], a["size"], info.fields() if a["kind"] == n.TKIND_RECORD else [])
    with _lock:
        return _user_types.setdefault(key, t)


def record_types():
    with _lock:
        return {t.name: t for t in _user_types.values() if t.kind == n.TKIND_RECORD}


class Interface:
    """The members of one dispatch interface by lower-case name."""

    def __init__(self, info):
        a = info.attr()
        self.guid = a["guid"]
        self.name = info.name()
        self.methods, self.gets, self.puts, self.by_dispid = {}, {}, {}, {}
        self.dispids = {}  # by member name, as objects of this interface give them
        for m in info.members():
            key = m.name.lower()
            table = {n.INVOKE_PROPERTYGET: self.gets, n.INVOKE_PROPERTYPUT: self.puts}.get(m.kind, self.methods)
            table[key] = m
            self.by_dispid.setdefault(m.dispid, m)
        # The event interface of the class this interface is the default of.
        self.source = _library_of(info).get(bytes(self.guid))


def _library_of(info):
    """Reads the library of `info` once: its records become known (for
    Record()), its enumerators constants, and its classes' event interfaces
    are returned by the GUID of each class's default interface."""
    key = info.library_guid()
    with _lock:
        known = _libraries.get(key)
    if known is not None:
        return known
    sources = {}
    for t in info.library_types():
        kind = t.attr()["kind"]
        if kind == n.TKIND_RECORD:
            user_type(t)
        elif kind == n.TKIND_ENUM:
            values = t.enum_values()
            with _lock:
                constants.update(values)
        elif kind == n.TKIND_COCLASS:
            impls = list(t.implementations())
            source = None
            for i, flags in impls:
                if flags & n.IMPLTYPEFLAG_FSOURCE and flags & n.IMPLTYPEFLAG_FDEFAULT:
                    source = i
            for i, flags in impls:
                if flags & n.IMPLTYPEFLAG_FDEFAULT and not flags & n.IMPLTYPEFLAG_FSOURCE and source is not None:
                    sources[bytes(i.attr()["guid"])] = source
    with _lock:
        return _libraries.setdefault(key, sources)


def interface_of(info):
    key = bytes(info.attr()["guid"])
    with _lock:
        known = _interfaces.get(key)
    if known:
        return known
    iface = Interface(info)
    with _lock:
        return _interfaces.setdefault(key, iface)


# ---- records -----------------------------------------------------------------

_FIELD_CTYPES = {n.VT_I1: ctypes.c_int8, n.VT_UI1: ctypes.c_uint8, n.VT_I2: ctypes.c_int16,
                 n.VT_UI2: ctypes.c_uint16, n.VT_BOOL: ctypes.c_int16, n.VT_I4: c_int32, n.VT_INT: c_int32,
                 n.VT_UI4: c_uint32, n.VT_UINT: c_uint32, n.VT_USERDEFINED: c_int32, n.VT_R4: ctypes.c_float,
                 n.VT_R8: ctypes.c_double, n.VT_DATE: ctypes.c_double, n.VT_I8: ctypes.c_int64,
                 n.VT_UI8: ctypes.c_uint64}


def make_record_class(t):
    names = [f[0] for f in t.fields]
    zeros = {name: 0.0 if vt in (n.VT_R4, n.VT_R8, n.VT_DATE) else 0 for name, _, vt in t.fields}

    def __init__(self, *args, **kwargs):
        if len(args) > len(names):
            raise TypeError("%s takes at most %d values" % (t.name, len(names)))
        for name in names:
            object.__setattr__(self, name, zeros[name])
        for name, value in zip(names, args):
            setattr(self, name, value)
        for name, value in kwargs.items():
            if name not in names:
                raise TypeError("%s has no field %r" % (t.name, name))
            setattr(self, name, value)

    def __repr__(self):
        return "%s(%s)" % (t.name, ", ".join("%s=%r" % (k, getattr(self, k)) for k in names))

    def __eq__(self, other):
        return type(other) is type(self) and all(getattr(self, k) == getattr(other, k) for k in names)

    def _asdict(self):
        return {k: getattr(self, k) for k in names}

    return type(t.name, (), {"__slots__": tuple(names), "__init__": __init__, "__repr__": __repr__,
                             "__eq__": __eq__, "__hash__": None, "_asdict": _asdict, "_fields": tuple(names),
                             "_type": t})


def record_from_memory(t, address):
    values = {}
    for name, offset, vt in t.fields:
        ct = _FIELD_CTYPES.get(vt)
        if ct is None:
            raise TypeError("record field %s.%s of type %d is not supported" % (t.name, name, vt))
        values[name] = ct.from_address(address + offset).value
    return t.record_class(**values)


def record_to_memory(record, buffer):
    t = type(record)._type
    for name, offset, vt in t.fields:
        ct = _FIELD_CTYPES[vt]
        value = getattr(record, name)
        ct.from_buffer(buffer, offset).value = float(value) if ct in (ctypes.c_float, ctypes.c_double) else int(value)


class PythonRecordInfo:
    """IRecordInfo of a record made in Python, enough for the server to check
    the record's type; it never owns or frees record memory."""

    def __init__(self, t):
        self.t = t
        I = ctypes.CFUNCTYPE
        H = n.HRESULT

        def qi(this, iid, out):
            if not iid or not out:
                return n.E_POINTER
            g = iid.contents
            out[0] = this if g == n.IID_IUnknown or g == n.IID_IRecordInfo else None
            return n.S_OK if out[0] else n.E_NOINTERFACE

        def get_guid(this, out):
            if not out:
                return n.E_POINTER
            ctypes.memmove(out, ctypes.addressof(t.guid), 16)
            return n.S_OK

        def get_size(this, out):
            if not out:
                return n.E_POINTER
            out[0] = t.size
            return n.S_OK

        def notimpl(*args):
            return n.E_NOTIMPL

        def ref(this):
            return 1

        self.funcs = [I(H, c_void_p, POINTER(n.GUID), POINTER(c_void_p))(qi), I(c_uint32, c_void_p)(ref),
                      I(c_uint32, c_void_p)(ref)]
        for slot in range(3, 19):
            if slot == 6:
                self.funcs.append(I(H, c_void_p, POINTER(n.GUID))(get_guid))
            elif slot == 8:
                self.funcs.append(I(H, c_void_p, POINTER(c_uint32))(get_size))
            elif slot in (15, 16):  # IsMatchingType (BOOL), RecordCreate (void *)
                self.funcs.append(I(c_int32 if slot == 15 else c_void_p, c_void_p, c_void_p)(lambda *a: 0))
            else:
                self.funcs.append(I(H, c_void_p, c_void_p, c_void_p, c_void_p, c_void_p)(notimpl))
        self.vtable = (c_void_p * len(self.funcs))(*[ctypes.cast(f, c_void_p) for f in self.funcs])
        self.object = (c_void_p * 1)(ctypes.cast(self.vtable, c_void_p))
        self.ptr = ctypes.addressof(self.object)


_record_infos = {}


def python_record_info(t):
    with _lock:
        info = _record_infos.get(t.name)
        if info is None:
            info = _record_infos[t.name] = PythonRecordInfo(t)
        return info
