"""libkalax.so through ctypes: the binary layouts of kalax/ax.h and the exported
functions the package calls. Nothing here knows the automation objects."""
import ctypes
import ctypes.util
import os
import uuid
from ctypes import (CFUNCTYPE, POINTER, Structure, Union, c_double, c_float, c_int8, c_int16, c_int32, c_int64,
                    c_uint8, c_uint16, c_uint32, c_uint64, c_void_p, sizeof)

HRESULT = c_int32


def _signed(code):
    return code - (1 << 32) if code >= 1 << 31 else code


S_OK, S_FALSE = 0, 1
E_NOTIMPL = _signed(0x80004001)
E_NOINTERFACE = _signed(0x80004002)
E_POINTER = _signed(0x80004003)
E_FAIL = _signed(0x80004005)
E_INVALIDARG = _signed(0x80070057)
CO_E_DLLNOTFOUND = _signed(0x800401F8)
DISP_E_MEMBERNOTFOUND = _signed(0x80020003)
DISP_E_UNKNOWNNAME = _signed(0x80020006)
DISP_E_EXCEPTION = _signed(0x80020009)
DISP_E_BADPARAMCOUNT = _signed(0x8002000E)

VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR = 0, 1, 2, 3, 4, 5, 6, 7, 8
VT_DISPATCH, VT_ERROR, VT_BOOL, VT_VARIANT, VT_UNKNOWN = 9, 10, 11, 12, 13
VT_I1, VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8, VT_INT, VT_UINT = 16, 17, 18, 19, 20, 21, 22, 23
VT_VOID, VT_HRESULT, VT_PTR, VT_SAFEARRAY, VT_USERDEFINED, VT_RECORD = 24, 25, 26, 27, 29, 36
VT_ARRAY, VT_BYREF, VT_TYPEMASK = 0x2000, 0x4000, 0x0FFF

DISPATCH_METHOD, DISPATCH_PROPERTYGET, DISPATCH_PROPERTYPUT = 1, 2, 4
DISPID_PROPERTYPUT = -3
INVOKE_FUNC, INVOKE_PROPERTYGET, INVOKE_PROPERTYPUT = 1, 2, 4
PARAMFLAG_FIN, PARAMFLAG_FOUT, PARAMFLAG_FRETVAL = 0x1, 0x2, 0x8
TKIND_ENUM, TKIND_RECORD, TKIND_DISPATCH, TKIND_COCLASS = 0, 1, 4, 5
IMPLTYPEFLAG_FDEFAULT, IMPLTYPEFLAG_FSOURCE = 0x1, 0x2
LOCALE_SYSTEM_DEFAULT = 0x0800
CLSCTX_INPROC_SERVER = 0x1


class GUID(Structure):
    _fields_ = [("Data1", c_uint32), ("Data2", c_uint16), ("Data3", c_uint16), ("Data4", c_uint8 * 8)]

    @classmethod
    def of(cls, text):
        u = uuid.UUID(text)
        return cls(u.time_low, u.time_mid, u.time_hi_version, (c_uint8 * 8)(*u.bytes[8:]))

    def __str__(self):
        return "{%s}" % str(uuid.UUID(bytes=self.Data1.to_bytes(4, "big") + self.Data2.to_bytes(2, "big") +
                                        self.Data3.to_bytes(2, "big") + bytes(self.Data4))).upper()

    def __eq__(self, other):
        return isinstance(other, GUID) and bytes(self) == bytes(other)

    __hash__ = None


class _Record(Structure):
    _fields_ = [("pvRecord", c_void_p), ("pRecInfo", c_void_p)]


class _Value(Union):
    _fields_ = [("llVal", c_int64), ("ullVal", c_uint64), ("lVal", c_int32), ("ulVal", c_uint32),
                ("iVal", c_int16), ("uiVal", c_uint16), ("cVal", c_int8), ("bVal", c_uint8),
                ("fltVal", c_float), ("dblVal", c_double), ("boolVal", c_int16), ("ptr", c_void_p),
                ("brecVal", _Record)]


class VARIANT(Structure):
    _fields_ = [("vt", c_uint16), ("wReserved1", c_uint16), ("wReserved2", c_uint16), ("wReserved3", c_uint16),
                ("v", _Value)]


class DISPPARAMS(Structure):
    _fields_ = [("rgvarg", POINTER(VARIANT)), ("rgdispidNamedArgs", POINTER(c_int32)),
                ("cArgs", c_uint32), ("cNamedArgs", c_uint32)]


class EXCEPINFO(Structure):
    _fields_ = [("wCode", c_uint16), ("wReserved", c_uint16), ("bstrSource", c_void_p),
                ("bstrDescription", c_void_p), ("bstrHelpFile", c_void_p), ("dwHelpContext", c_uint32),
                ("pvReserved", c_void_p), ("pfnDeferredFillIn", c_void_p), ("scode", c_int32)]


class SAFEARRAYBOUND(Structure):
    _fields_ = [("cElements", c_uint32), ("lLbound", c_int32)]


class SAFEARRAY(Structure):
    _fields_ = [("cDims", c_uint16), ("fFeatures", c_uint16), ("cbElements", c_uint32), ("cLocks", c_uint32),
                ("pvData", c_void_p), ("rgsabound", SAFEARRAYBOUND * 1)]


class TYPEDESC(Structure):
    _fields_ = [("u", c_void_p), ("vt", c_uint16)]  # u: lptdesc, or the hreftype in its low 32 bits


class PARAMDESC(Structure):
    _fields_ = [("pparamdescex", c_void_p), ("wParamFlags", c_uint16)]


class ELEMDESC(Structure):
    _fields_ = [("tdesc", TYPEDESC), ("paramdesc", PARAMDESC)]


class FUNCDESC(Structure):
    _fields_ = [("memid", c_int32), ("lprgscode", c_void_p), ("lprgelemdescParam", POINTER(ELEMDESC)),
                ("funckind", c_int32), ("invkind", c_int32), ("callconv", c_int32), ("cParams", c_int16),
                ("cParamsOpt", c_int16), ("oVft", c_int16), ("cScodes", c_int16), ("elemdescFunc", ELEMDESC),
                ("wFuncFlags", c_uint16)]


class VARDESC(Structure):
    _fields_ = [("memid", c_int32), ("lpstrSchema", c_void_p), ("oInst", c_void_p), ("elemdescVar", ELEMDESC),
                ("wVarFlags", c_uint16), ("varkind", c_int32)]


class TYPEATTR(Structure):
    _fields_ = [("guid", GUID), ("lcid", c_uint32), ("dwReserved", c_uint32), ("memidConstructor", c_int32),
                ("memidDestructor", c_int32), ("lpstrSchema", c_void_p), ("cbSizeInstance", c_uint32),
                ("typekind", c_int32), ("cFuncs", c_uint16), ("cVars", c_uint16), ("cImplTypes", c_uint16),
                ("cbSizeVft", c_uint16), ("cbAlignment", c_uint16), ("wTypeFlags", c_uint16),
                ("wMajorVerNum", c_uint16), ("wMinorVerNum", c_uint16), ("tdescAlias", TYPEDESC),
                ("idldescType", c_void_p * 2)]


assert sizeof(GUID) == 16 and sizeof(VARIANT) == 24 and sizeof(DISPPARAMS) == 24 and sizeof(EXCEPINFO) == 64
assert sizeof(ELEMDESC) == 32 and FUNCDESC.elemdescFunc.offset == 48 and TYPEATTR.typekind.offset == 44

IID_NULL = GUID()
IID_IUnknown = GUID.of("{00000000-0000-0000-C000-000000000046}")
IID_IDispatch = GUID.of("{00020400-0000-0000-C000-000000000046}")
IID_IRecordInfo = GUID.of("{0000002F-0000-0000-C000-000000000046}")
IID_IConnectionPointContainer = GUID.of("{B196B284-BAB4-101A-B69C-00AA00341D07}")


def _find_library():
    """The libkalax.so this package belongs to: the one the build or the
    installation named in _location.py, else whatever the loader finds."""
    try:
        from . import _location
        path = _location.LIBRARY
        if not os.path.isabs(path):
            path = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(_location.__file__)), path))
        if os.path.exists(path):
            return path
    except ImportError:
        pass
    return ctypes.util.find_library("kalax") or "libkalax.so.0"


LIBRARY_PATH = _find_library()
lib = ctypes.CDLL(LIBRARY_PATH)


def _fn(name, restype, *argtypes):
    f = getattr(lib, name)
    f.restype = restype
    f.argtypes = list(argtypes)
    return f


SysAllocStringLen = _fn("zxax_SysAllocStringLen", c_void_p, c_void_p, c_uint32)
SysFreeString = _fn("zxax_SysFreeString", None, c_void_p)
SysStringLen = _fn("zxax_SysStringLen", c_uint32, c_void_p)
VariantInit = _fn("zxax_VariantInit", None, POINTER(VARIANT))
VariantClear = _fn("zxax_VariantClear", HRESULT, POINTER(VARIANT))
VariantCopy = _fn("zxax_VariantCopy", HRESULT, POINTER(VARIANT), POINTER(VARIANT))
SafeArrayCreateVector = _fn("zxax_SafeArrayCreateVector", c_void_p, c_uint16, c_int32, c_uint32)
SafeArrayDestroy = _fn("zxax_SafeArrayDestroy", HRESULT, c_void_p)
SafeArrayGetLBound = _fn("zxax_SafeArrayGetLBound", HRESULT, c_void_p, c_uint32, POINTER(c_int32))
SafeArrayGetUBound = _fn("zxax_SafeArrayGetUBound", HRESULT, c_void_p, c_uint32, POINTER(c_int32))
SafeArrayAccessData = _fn("zxax_SafeArrayAccessData", HRESULT, c_void_p, POINTER(c_void_p))
SafeArrayUnaccessData = _fn("zxax_SafeArrayUnaccessData", HRESULT, c_void_p)
CLSIDFromString = _fn("zxax_CLSIDFromString", HRESULT, c_void_p, POINTER(GUID))
CoCreateInstance = _fn("zxax_CoCreateInstance", HRESULT, POINTER(GUID), c_void_p, c_uint32, POINTER(GUID),
                       POINTER(c_void_p))
GetErrorInfo = _fn("zxax_GetErrorInfo", HRESULT, c_uint32, POINTER(c_void_p))
CoInitialize = _fn("zxax_CoInitialize", HRESULT, c_void_p)
CoUninitialize = _fn("zxax_CoUninitialize", None)
DllRegisterServer = _fn("DllRegisterServer", HRESULT)
DllUnregisterServer = _fn("DllUnregisterServer", HRESULT)
DllCanUnloadNow = _fn("DllCanUnloadNow", HRESULT)
events_fd = _fn("zx_events_fd", ctypes.c_int)
events_dispatch = _fn("zx_events_dispatch", ctypes.c_int, ctypes.c_int)
events_wait = _fn("zx_events_wait", ctypes.c_int, ctypes.c_int)


def bstr(text):
    """A new BSTR holding `text` (the caller frees it)."""
    data = text.encode("utf-16-le", "surrogatepass")
    return SysAllocStringLen(data, len(data) // 2) if data else SysAllocStringLen(None, 0)


def bstr_text(ptr):
    if not ptr:
        return ""
    n = SysStringLen(ptr)
    return ctypes.string_at(ptr, 2 * n).decode("utf-16-le", "surrogatepass")


def wide(text):
    """A NUL-terminated UTF-16 buffer (OLECHAR is 16 bits here, wchar_t is not)."""
    return ctypes.create_string_buffer((text + "\0").encode("utf-16-le", "surrogatepass"))


def method(ptr, slot, restype, *argtypes):
    """The vtable entry `slot` of the interface at `ptr`, callable with ptr first."""
    vtable = ctypes.cast(ptr, POINTER(POINTER(c_void_p)))[0]
    return CFUNCTYPE(restype, c_void_p, *argtypes)(vtable[slot])


def add_ref(ptr):
    return method(ptr, 1, c_uint32)(ptr)


def release(ptr):
    return method(ptr, 2, c_uint32)(ptr)


def query_interface(ptr, iid):
    out = c_void_p()
    hr = method(ptr, 0, HRESULT, POINTER(GUID), POINTER(c_void_p))(ptr, ctypes.byref(iid), ctypes.byref(out))
    return hr, out.value


class _DlInfo(Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", c_void_p), ("dli_sname", ctypes.c_char_p),
                ("dli_saddr", c_void_p)]


_libc = ctypes.CDLL(None)
_libc.dladdr.argtypes = [c_void_p, POINTER(_DlInfo)]


def _module_of(address):
    info = _DlInfo()
    if not _libc.dladdr(address, ctypes.byref(info)):
        return None, None
    return info.dli_fbase, os.fsdecode(info.dli_fname or b"")


_own_base = _module_of(ctypes.cast(lib.zx_events_fd, c_void_p))[0]


def other_kalax_of(address):
    """The file of another copy of libkalax.so that `address` lies in, or None
    (it lies in ours, or in a server library that is no libkalax.so)."""
    base, path = _module_of(address)
    if base is None or base == _own_base:
        return None
    try:
        other = ctypes.CDLL(path)  # loaded already: only its name is looked up
    except OSError:
        return None
    return path if hasattr(other, "zx_events_fd") else None
