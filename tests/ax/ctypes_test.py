#!/usr/bin/env python3
"""The binary contract of the component runtime seen from outside C++: Python's
ctypes creates the dummy class by ProgID through libkalax.so's
zxax_CoCreateInstance and calls IDispatch through the raw vtable.

usage: ctypes_test.py LIBKALAX DUMMY_SERVER [SANITIZERS [SANITIZER_RUNTIME]]
Exit 77 (skipped) where the interpreter cannot load a sanitized library."""
import ctypes
import os
import sys
import tempfile
import uuid
from ctypes import (CFUNCTYPE, POINTER, Structure, Union, byref, c_double, c_int16, c_int32, c_int64,
                    c_uint8, c_uint16, c_uint32, c_void_p, sizeof)

lib_path, server_path = sys.argv[1], sys.argv[2]
sanitize = sys.argv[3] if len(sys.argv) > 3 else ""
runtime = sys.argv[4] if len(sys.argv) > 4 else ""

if "thread" in sanitize:
    print("skipped: ThreadSanitizer's runtime cannot be preloaded into the Python interpreter")
    sys.exit(77)
if "address" in sanitize and not os.environ.get("KALAX_CTYPES_PRELOADED"):
    if not runtime or not os.path.exists(runtime):
        print("skipped: no shared AddressSanitizer runtime to preload (%r)" % runtime)
        sys.exit(77)
    env = dict(os.environ, LD_PRELOAD=runtime, KALAX_CTYPES_PRELOADED="1",
               ASAN_OPTIONS="detect_leaks=0:" + os.environ.get("ASAN_OPTIONS", ""))
    os.execve(sys.executable, [sys.executable] + sys.argv, env)

S_OK = 0
DISP_E_TYPEMISMATCH = 0x80020005 - (1 << 32)
DISP_E_EXCEPTION = 0x80020009 - (1 << 32)
DISP_E_BADPARAMCOUNT = 0x8002000E - (1 << 32)
VT_I4, VT_BSTR, VT_BOOL = 3, 8, 11
DISPATCH_METHOD = 1


class GUID(Structure):
    _fields_ = [("Data1", c_uint32), ("Data2", c_uint16), ("Data3", c_uint16), ("Data4", c_uint8 * 8)]

    @classmethod
    def of(cls, text):
        u = uuid.UUID(text)
        return cls(u.time_low, u.time_mid, u.time_hi_version, (c_uint8 * 8)(*u.bytes[8:]))


class _Value(Union):
    _fields_ = [("llVal", c_int64), ("lVal", c_int32), ("boolVal", c_int16), ("dblVal", c_double),
                ("ptr", c_void_p), ("record", c_void_p * 2)]


class VARIANT(Structure):
    _fields_ = [("vt", c_uint16), ("r1", c_uint16), ("r2", c_uint16), ("r3", c_uint16), ("v", _Value)]


class DISPPARAMS(Structure):
    _fields_ = [("rgvarg", POINTER(VARIANT)), ("rgdispidNamedArgs", POINTER(c_int32)),
                ("cArgs", c_uint32), ("cNamedArgs", c_uint32)]


class EXCEPINFO(Structure):
    _fields_ = [("wCode", c_uint16), ("wReserved", c_uint16), ("bstrSource", c_void_p),
                ("bstrDescription", c_void_p), ("bstrHelpFile", c_void_p), ("dwHelpContext", c_uint32),
                ("pvReserved", c_void_p), ("pfnDeferredFillIn", c_void_p), ("scode", c_int32)]


assert sizeof(GUID) == 16 and sizeof(VARIANT) == 24 and VARIANT.v.offset == 8
assert sizeof(DISPPARAMS) == 24 and sizeof(EXCEPINFO) == 64 and EXCEPINFO.scode.offset == 56

CLSID_DUMMY = "{5F0C3A10-8E1B-4C6A-9D2E-3B7A41C0D003}"
IID_IDISPATCH = GUID.of("{00020400-0000-0000-C000-000000000046}")
IID_NULL = GUID()

failures = []


def check(what, got, want):
    if got != want:
        failures.append("%s: got %r, want %r" % (what, got, want))


def olestr(text):
    return ctypes.create_string_buffer((text + "\0").encode("utf-16-le"))


with tempfile.TemporaryDirectory() as folder:
    registry = os.path.join(folder, "registry.reg")
    with open(registry, "w", newline="\r\n", encoding="cp1252") as f:
        f.write("REGEDIT4\n\n"
                "[HKEY_CLASSES_ROOT\\Dummy.Object]\n@=\"Dummy Object\"\n\n"
                "[HKEY_CLASSES_ROOT\\Dummy.Object\\CLSID]\n@=\"%s\"\n\n"
                "[HKEY_CLASSES_ROOT\\CLSID\\%s\\InprocServer32]\n@=\"%s\"\n\"ThreadingModel\"=\"Apartment\"\n\n"
                % (CLSID_DUMMY, CLSID_DUMMY, server_path.replace("\\", "\\\\")))
    os.environ["KALAX_REGISTRY"] = registry

    ax = ctypes.CDLL(lib_path)
    for name in ("zxax_CoInitialize", "zxax_CLSIDFromProgID", "zxax_CoCreateInstance", "zxax_VariantClear"):
        getattr(ax, name).restype = c_int32
    ax.zxax_SysAllocString.restype = c_void_p
    ax.zxax_SysAllocString.argtypes = [c_void_p]
    ax.zxax_SysStringLen.restype = c_uint32
    ax.zxax_SysStringLen.argtypes = [c_void_p]
    ax.zxax_SysFreeString.argtypes = [c_void_p]

    check("CoInitialize", ax.zxax_CoInitialize(None), S_OK)
    clsid = GUID()
    check("CLSIDFromProgID", ax.zxax_CLSIDFromProgID(olestr("dummy.object"), byref(clsid)), S_OK)
    check("CLSID", bytes(clsid), bytes(GUID.of(CLSID_DUMMY)))
    obj = c_void_p()
    check("CoCreateInstance", ax.zxax_CoCreateInstance(byref(clsid), None, 1, byref(IID_IDISPATCH), byref(obj)), S_OK)
    if not obj.value:
        print("\n".join(failures))
        sys.exit(1)

    vtable = ctypes.cast(obj, POINTER(POINTER(c_void_p)))[0]

    def method(slot, restype, *argtypes):
        return CFUNCTYPE(restype, c_void_p, *argtypes)(vtable[slot])

    release = method(2, c_uint32)
    get_ids = method(5, c_int32, POINTER(GUID), POINTER(c_void_p), c_uint32, c_uint32, POINTER(c_int32))
    invoke = method(6, c_int32, c_int32, POINTER(GUID), c_uint32, c_uint16, POINTER(DISPPARAMS),
                    POINTER(VARIANT), POINTER(EXCEPINFO), POINTER(c_uint32))

    def dispid(name):
        buf = olestr(name)
        names = (c_void_p * 1)(ctypes.cast(buf, c_void_p))
        out = c_int32(-99)
        check("GetIDsOfNames " + name, get_ids(obj, byref(IID_NULL), names, 1, 0x0800, byref(out)), S_OK)
        return out.value

    def bstr_text(ptr):
        n = ax.zxax_SysStringLen(ptr)
        check("BSTR prefix", ctypes.string_at(ptr - 4, 4), (2 * n).to_bytes(4, "little"))
        return ctypes.string_at(ptr, 2 * n).decode("utf-16-le")

    def call(member, *declared, excep=None):
        # rgvarg holds the arguments last-first.
        args = (VARIANT * max(1, len(declared)))(*reversed(declared))
        params = DISPPARAMS(args, None, len(declared), 0)
        result, arg_err = VARIANT(), c_uint32(99)
        hr = invoke(obj, member, byref(IID_NULL), 0x0800, DISPATCH_METHOD, byref(params), byref(result),
                    byref(excep) if excep else None, byref(arg_err))
        return hr, result, arg_err.value

    def i4(value):
        v = VARIANT(VT_I4)
        v.v.lVal = value
        return v

    add, describe, fail = dispid("add"), dispid("DESCRIBE"), dispid("Fail")
    check("DISPIDs", (add, describe, fail), (1, 3, 7))

    hr, result, _ = call(add, i4(40), i4(2))
    check("Add", (hr, result.vt, result.v.lVal), (S_OK, VT_I4, 42))

    text = ax.zxax_SysAllocString(olestr("h\u00e9llo"))
    s = VARIANT(VT_BSTR)
    s.v.ptr = text
    flag = VARIANT(VT_BOOL)
    flag.v.boolVal = -1
    hr, result, _ = call(describe, s, flag)
    check("Describe", (hr, result.vt), (S_OK, VT_BSTR))
    if result.vt == VT_BSTR:
        check("Describe text", bstr_text(result.v.ptr), "h\u00e9llo:True")
    ax.zxax_VariantClear(byref(result))

    hr, _, arg_err = call(add, s, i4(1))
    check("type mismatch", (hr, arg_err), (DISP_E_TYPEMISMATCH, 1))
    ax.zxax_SysFreeString(text)
    hr, _, _ = call(add, i4(1))
    check("parameter count", hr, DISP_E_BADPARAMCOUNT)

    excep = EXCEPINFO()
    hr, _, _ = call(fail, i4(3), excep=excep)
    check("Fail", (hr, excep.scode), (DISP_E_EXCEPTION, 0x80004005 - (1 << 32)))
    if excep.bstrDescription:
        check("Fail description", bstr_text(excep.bstrDescription), "failure 3")
    for b in (excep.bstrSource, excep.bstrDescription, excep.bstrHelpFile):
        ax.zxax_SysFreeString(b)

    check("Release", release(obj), 0)
    ax.zxax_CoUninitialize()

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("binary contract holds from Python")
