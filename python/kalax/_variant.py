"""VARIANT <-> Python: None, bool, int, float, str, datetime (DATE), bytes and
tuples (SAFEARRAYs), records (as their record classes) and objects."""
import ctypes
import datetime
import math
from ctypes import POINTER, byref, c_int32, c_void_p

from . import _native as n
from . import _typeinfo as ti

_EPOCH = datetime.datetime(1899, 12, 30)

_SCALARS = {n.VT_I1: "cVal", n.VT_UI1: "bVal", n.VT_I2: "iVal", n.VT_UI2: "uiVal", n.VT_I4: "lVal",
            n.VT_INT: "lVal", n.VT_ERROR: "lVal", n.VT_UI4: "ulVal", n.VT_UINT: "ulVal", n.VT_I8: "llVal",
            n.VT_UI8: "ullVal", n.VT_R4: "fltVal", n.VT_R8: "dblVal"}
_ELEMENTS = {n.VT_I1: ctypes.c_int8, n.VT_UI1: ctypes.c_uint8, n.VT_I2: ctypes.c_int16, n.VT_UI2: ctypes.c_uint16,
             n.VT_I4: c_int32, n.VT_INT: c_int32, n.VT_UI4: ctypes.c_uint32, n.VT_UINT: ctypes.c_uint32,
             n.VT_I8: ctypes.c_int64, n.VT_UI8: ctypes.c_uint64, n.VT_R4: ctypes.c_float,
             n.VT_R8: ctypes.c_double, n.VT_DATE: ctypes.c_double, n.VT_BOOL: ctypes.c_int16}


def date_to_datetime(value):
    """An automation date (days since 1899-12-30, local time) as a naive datetime."""
    whole = math.trunc(value)
    fraction = abs(value - whole)
    moment = _EPOCH + datetime.timedelta(days=whole) + datetime.timedelta(days=fraction)
    return moment.replace(microsecond=0) + datetime.timedelta(
        milliseconds=round(moment.microsecond / 1000.0))


def datetime_to_date(moment):
    if not isinstance(moment, datetime.datetime):  # a date: its midnight
        moment = datetime.datetime(moment.year, moment.month, moment.day)
    elif moment.tzinfo is not None:
        moment = moment.astimezone().replace(tzinfo=None)
    days = (moment - _EPOCH) / datetime.timedelta(days=1)
    whole = math.floor(days)
    fraction = days - whole
    return whole - fraction if whole < 0 else days


def _array_to_python(sa, vt):
    if not sa:
        return ()
    lo, hi = c_int32(), c_int32()
    ti.check(n.SafeArrayGetLBound(sa, 1, byref(lo)))
    ti.check(n.SafeArrayGetUBound(sa, 1, byref(hi)))
    count = hi.value - lo.value + 1
    data = c_void_p()
    ti.check(n.SafeArrayAccessData(sa, byref(data)))
    try:
        if count <= 0:
            return b"" if vt == n.VT_UI1 else ()
        if vt == n.VT_UI1:
            return ctypes.string_at(data.value, count)
        if vt == n.VT_VARIANT:
            items = (n.VARIANT * count).from_address(data.value)
            return tuple(to_python(items[i]) for i in range(count))
        if vt == n.VT_BSTR:
            items = (c_void_p * count).from_address(data.value)
            return tuple(n.bstr_text(items[i]) for i in range(count))
        ct = _ELEMENTS.get(vt)
        if ct is None:
            raise TypeError("arrays of variant type %d are not supported" % vt)
        values = list((ct * count).from_address(data.value))
        if vt == n.VT_BOOL:
            values = [bool(v) for v in values]
        elif vt == n.VT_DATE:
            values = [date_to_datetime(v) for v in values]
        return tuple(values)
    finally:
        n.SafeArrayUnaccessData(sa)


def to_python(v, wrap=None):
    """The value of a VARIANT (left as it is; the caller clears it)."""
    vt = v.vt
    if vt & n.VT_BYREF:
        inner = vt & ~n.VT_BYREF
        if inner == n.VT_VARIANT:
            return to_python(n.VARIANT.from_address(v.v.ptr), wrap)
        copy = n.VARIANT()
        copy.vt = inner
        size = 16 if inner == n.VT_RECORD else ctypes.sizeof(_ELEMENTS.get(inner, c_void_p))
        ctypes.memmove(byref(copy.v), v.v.ptr, size)
        return to_python(copy, wrap)
    if vt in (n.VT_EMPTY, n.VT_NULL):
        return None
    if vt in _SCALARS:
        return getattr(v.v, _SCALARS[vt])
    if vt == n.VT_BOOL:
        return v.v.boolVal != 0
    if vt == n.VT_BSTR:
        return n.bstr_text(v.v.ptr)
    if vt == n.VT_DATE:
        return date_to_datetime(v.v.dblVal)
    if vt == n.VT_RECORD:
        return record_of(v.v.brecVal.pvRecord, v.v.brecVal.pRecInfo)
    if vt in (n.VT_DISPATCH, n.VT_UNKNOWN):
        if not v.v.ptr:
            return None
        n.add_ref(v.v.ptr)
        return wrap(v.v.ptr) if wrap else v.v.ptr
    if vt & n.VT_ARRAY:
        return _array_to_python(v.v.ptr, vt & n.VT_TYPEMASK)
    raise TypeError("variant type %d is not supported" % vt)


def record_of(data, info):
    """A record's fields read through its type, found by the record's IRecordInfo."""
    if not info or not data:
        return None
    tinfo = c_void_p()
    ti.check(n.method(info, 9, n.HRESULT, POINTER(c_void_p))(info, byref(tinfo)))
    t = ti.user_type(ti.TypeInfo(tinfo.value))
    return ti.record_from_memory(t, data)


class Arguments:
    """VARIANTs made for one call and what they own, freed together."""

    def __init__(self):
        self.keep = []

    def fill(self, v, value, param=None):
        """Writes `value` into the VARIANT `v` as a value of the declared `param`."""
        n.VariantInit(byref(v))
        record = param.user if param and param.user is not None and param.user.kind == n.TKIND_RECORD else None
        if record is not None or hasattr(type(value), "_type"):
            t = record if record is not None else type(value)._type
            if type(value) is not t.record_class:
                if isinstance(value, dict):
                    value = t.record_class(**value)
                else:
                    raise TypeError("%s expects a %s record, not %s" % (param.name if param else "argument",
                                                                          t.name, type(value).__name__))
            buffer = ctypes.create_string_buffer(t.size)
            ti.record_to_memory(value, buffer)
            self.keep.append(buffer)
            v.vt = n.VT_RECORD
            v.v.brecVal.pvRecord = ctypes.addressof(buffer)
            v.v.brecVal.pRecInfo = ti.python_record_info(t).ptr
            return
        if value is None:
            return
        if isinstance(value, bool):
            v.vt, v.v.boolVal = n.VT_BOOL, -1 if value else 0
        elif isinstance(value, int):
            if -(1 << 31) <= value < (1 << 31):
                v.vt, v.v.lVal = n.VT_I4, value
            else:
                v.vt, v.v.llVal = n.VT_I8, value
        elif isinstance(value, float):
            v.vt, v.v.dblVal = n.VT_R8, value
        elif isinstance(value, str):
            v.vt, v.v.ptr = n.VT_BSTR, n.bstr(value)
        elif isinstance(value, (datetime.datetime, datetime.date)):
            v.vt, v.v.dblVal = n.VT_DATE, datetime_to_date(value)
        elif isinstance(value, (bytes, bytearray, memoryview)):
            data = bytes(value)
            sa = n.SafeArrayCreateVector(n.VT_UI1, 0, len(data))
            if not sa:
                raise MemoryError("no SAFEARRAY of %d bytes" % len(data))
            v.vt, v.v.ptr = n.VT_ARRAY | n.VT_UI1, sa
            self._put(sa, data, lambda p, d: ctypes.memmove(p, d, len(d)))
        elif isinstance(value, (list, tuple)):
            sa = n.SafeArrayCreateVector(n.VT_VARIANT, 0, len(value))
            if not sa:
                raise MemoryError("no SAFEARRAY of %d variants" % len(value))
            v.vt, v.v.ptr = n.VT_ARRAY | n.VT_VARIANT, sa

            def put(p, items):
                slots = (n.VARIANT * len(items)).from_address(p)
                for i, item in enumerate(items):
                    self.fill(slots[i], item)
                    if slots[i].vt == n.VT_RECORD:  # the array would free Python's memory as its own
                        raise TypeError("records inside arrays are not supported")
            self._put(sa, value, put)
        elif hasattr(value, "_oleobj_"):
            v.vt, v.v.ptr = n.VT_DISPATCH, value._oleobj_
            n.add_ref(value._oleobj_)
        else:
            raise TypeError("cannot pass %s to an automation object" % type(value).__name__)

    @staticmethod
    def _put(sa, value, writer):
        data = c_void_p()
        ti.check(n.SafeArrayAccessData(sa, byref(data)))
        try:
            if len(value):
                writer(data.value, value)
        finally:
            n.SafeArrayUnaccessData(sa)

    @staticmethod
    def clear(v):
        """Frees what `v` holds, except records made in Python (their memory is ours)."""
        if v.vt == n.VT_RECORD:
            n.VariantInit(byref(v))
        else:
            n.VariantClear(byref(v))
