/* The KalAx component-object runtime: the binary contract of the automation
 * objects, laid out as the 64-bit Windows component model lays it out, with the
 * Linux calling convention. Hosts in any language that can call C and read a
 * vtable use the objects through this header alone.
 *
 * Threads: zxax_CoInitialize makes the calling thread an apartment. An object
 * belongs to the thread that created it; a call from any other thread returns
 * RPC_E_WRONG_THREAD. Events of an apartment's objects are fired on that thread.
 *
 * Ownership: a BSTR, VARIANT or SAFEARRAY handed out belongs to the receiver,
 * who frees it with zxax_SysFreeString, zxax_VariantClear or
 * zxax_SafeArrayDestroy. Out parameters follow the usual rules: [out] values are
 * written without freeing what was there, [in,out] values are freed first. */
#ifndef KALAX_AX_H
#define KALAX_AX_H

#include <stddef.h>
#include <stdint.h>

#include "zx.h"

#ifdef _WIN32
/* On Windows the contract is the platform's own component model: the types,
 * interfaces, identifiers and result codes below are those of <windows.h>,
 * <oleauto.h> and <ocidl.h> (OLECHAR is wchar_t there, 16 bits as here), and
 * the zxax_ functions are inline forwards to the system's own, so the library's
 * objects are written once for both platforms. Nothing of them is exported:
 * hosts call the system's functions. */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <ocidl.h>
#include <olectl.h>

#ifdef __cplusplus
#define ZXAX_INLINE inline
extern "C" {
#else
#define ZXAX_INLINE static __inline
#endif

/* The server's entry points, exported by name. */
ZX_API HRESULT STDAPICALLTYPE DllRegisterServer(void);
ZX_API HRESULT STDAPICALLTYPE DllUnregisterServer(void);
ZX_API HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void **ppv);
ZX_API HRESULT STDAPICALLTYPE DllCanUnloadNow(void);

ZXAX_INLINE BSTR zxax_SysAllocString(const OLECHAR *psz) { return SysAllocString(psz); }
ZXAX_INLINE BSTR zxax_SysAllocStringLen(const OLECHAR *psz, UINT ui) { return SysAllocStringLen(psz, ui); }
ZXAX_INLINE void zxax_SysFreeString(BSTR bstr) { SysFreeString(bstr); }
ZXAX_INLINE UINT zxax_SysStringLen(BSTR bstr) { return SysStringLen(bstr); }
ZXAX_INLINE void zxax_VariantInit(VARIANTARG *pvarg) { VariantInit(pvarg); }
ZXAX_INLINE HRESULT zxax_VariantClear(VARIANTARG *pvarg) { return VariantClear(pvarg); }
ZXAX_INLINE HRESULT zxax_VariantCopy(VARIANTARG *pvargDest, const VARIANTARG *pvargSrc) {
    return VariantCopy(pvargDest, (VARIANTARG *)pvargSrc); /* the system's takes no const */
}
ZXAX_INLINE HRESULT zxax_VariantChangeType(VARIANTARG *pvargDest, const VARIANTARG *pvarSrc, USHORT wFlags,
                                           VARTYPE vt) {
    return VariantChangeType(pvargDest, (VARIANTARG *)pvarSrc, wFlags, vt);
}
ZXAX_INLINE SAFEARRAY *zxax_SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    return SafeArrayCreateVector(vt, lLbound, cElements);
}
ZXAX_INLINE HRESULT zxax_SafeArrayDestroy(SAFEARRAY *psa) { return SafeArrayDestroy(psa); }
ZXAX_INLINE HRESULT zxax_SafeArrayGetLBound(SAFEARRAY *psa, UINT nDim, LONG *plLbound) {
    return SafeArrayGetLBound(psa, nDim, plLbound);
}
ZXAX_INLINE HRESULT zxax_SafeArrayGetUBound(SAFEARRAY *psa, UINT nDim, LONG *plUbound) {
    return SafeArrayGetUBound(psa, nDim, plUbound);
}
ZXAX_INLINE HRESULT zxax_SafeArrayGetElement(SAFEARRAY *psa, LONG *rgIndices, void *pv) {
    return SafeArrayGetElement(psa, rgIndices, pv);
}
ZXAX_INLINE HRESULT zxax_SafeArrayPutElement(SAFEARRAY *psa, LONG *rgIndices, void *pv) {
    return SafeArrayPutElement(psa, rgIndices, pv);
}
ZXAX_INLINE HRESULT zxax_SafeArrayAccessData(SAFEARRAY *psa, void **ppvData) { return SafeArrayAccessData(psa, ppvData); }
ZXAX_INLINE HRESULT zxax_SafeArrayUnaccessData(SAFEARRAY *psa) { return SafeArrayUnaccessData(psa); }
ZXAX_INLINE HRESULT zxax_CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) { return CLSIDFromString(lpsz, pclsid); }
ZXAX_INLINE HRESULT zxax_CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    return CLSIDFromProgID(lpszProgID, lpclsid);
}
ZXAX_INLINE int zxax_StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    return StringFromGUID2(rguid, lpsz, cchMax);
}
ZXAX_INLINE HRESULT zxax_CoCreateInstance(REFCLSID rclsid, IUnknown *pUnkOuter, DWORD dwClsContext, REFIID riid,
                                          void **ppv) {
    return CoCreateInstance(rclsid, pUnkOuter, dwClsContext, riid, ppv);
}
ZXAX_INLINE HRESULT zxax_GetErrorInfo(ULONG dwReserved, IErrorInfo **pperrinfo) {
    return GetErrorInfo(dwReserved, pperrinfo);
}
ZXAX_INLINE HRESULT zxax_SetErrorInfo(ULONG dwReserved, IErrorInfo *perrinfo) {
    return SetErrorInfo(dwReserved, perrinfo);
}
ZXAX_INLINE HRESULT zxax_CoInitialize(void *pvReserved) { return CoInitialize(pvReserved); }
ZXAX_INLINE void zxax_CoUninitialize(void) { CoUninitialize(); }

#ifdef __cplusplus
}  // extern "C"
#endif
#undef ZXAX_INLINE

#else /* the library's own runtime */

#ifdef __cplusplus
#include <cstring>
extern "C" {
#endif

/* ---- scalar types ---------------------------------------------------------- */
typedef int32_t HRESULT;
typedef int32_t SCODE;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef int16_t SHORT;
typedef uint8_t BYTE;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int32_t BOOL;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint32_t LCID;
typedef int32_t DISPID;
typedef int32_t MEMBERID;
typedef uint32_t HREFTYPE;
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef double DATE;
#ifdef __cplusplus
typedef char16_t OLECHAR;
#else
typedef uint16_t OLECHAR;
#endif
typedef OLECHAR *LPOLESTR;
typedef const OLECHAR *LPCOLESTR;
/* Points at the first character; the byte length (without the terminator)
 * sits in the 4 bytes before it, and a 16-bit 0 follows the last character. */
typedef OLECHAR *BSTR;

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

typedef struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
typedef CLSID *LPCLSID;
#ifdef __cplusplus
#define REFGUID const GUID &
#define REFIID const IID &
#define REFCLSID const CLSID &
#else
#define REFGUID const GUID *
#define REFIID const IID *
#define REFCLSID const CLSID *
#endif

typedef union CY {
    struct {
        uint32_t Lo;
        int32_t Hi;
    } s;
    LONGLONG int64;
} CY;

typedef struct DECIMAL {
    USHORT wReserved;
    BYTE scale;
    BYTE sign;
    ULONG Hi32;
    ULONGLONG Lo64;
} DECIMAL;

/* ---- result codes ---------------------------------------------------------- */
#define ZXAX_HR(x) ((HRESULT)(x))
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define S_OK ZXAX_HR(0)
#define S_FALSE ZXAX_HR(1)
#define E_NOTIMPL ZXAX_HR(0x80004001)
#define E_NOINTERFACE ZXAX_HR(0x80004002)
#define E_POINTER ZXAX_HR(0x80004003)
#define E_ABORT ZXAX_HR(0x80004004)
#define E_FAIL ZXAX_HR(0x80004005)
#define E_UNEXPECTED ZXAX_HR(0x8000FFFF)
#define E_ACCESSDENIED ZXAX_HR(0x80070005)
#define E_OUTOFMEMORY ZXAX_HR(0x8007000E)
#define E_INVALIDARG ZXAX_HR(0x80070057)
#define CLASS_E_NOAGGREGATION ZXAX_HR(0x80040110)
#define CLASS_E_CLASSNOTAVAILABLE ZXAX_HR(0x80040111)
#define REGDB_E_READREGDB ZXAX_HR(0x80040150)
#define REGDB_E_WRITEREGDB ZXAX_HR(0x80040151)
#define REGDB_E_CLASSNOTREG ZXAX_HR(0x80040154)
#define CO_E_NOTINITIALIZED ZXAX_HR(0x800401F0)
#define CO_E_CLASSSTRING ZXAX_HR(0x800401F3)
#define CO_E_DLLNOTFOUND ZXAX_HR(0x800401F8)
#define CO_E_ERRORINDLL ZXAX_HR(0x800401F9)
#define RPC_E_CHANGED_MODE ZXAX_HR(0x80010106)
#define RPC_E_WRONG_THREAD ZXAX_HR(0x8001010E)
#define DISP_E_UNKNOWNINTERFACE ZXAX_HR(0x80020001)
#define DISP_E_MEMBERNOTFOUND ZXAX_HR(0x80020003)
#define DISP_E_PARAMNOTFOUND ZXAX_HR(0x80020004)
#define DISP_E_TYPEMISMATCH ZXAX_HR(0x80020005)
#define DISP_E_UNKNOWNNAME ZXAX_HR(0x80020006)
#define DISP_E_NONAMEDARGS ZXAX_HR(0x80020007)
#define DISP_E_BADVARTYPE ZXAX_HR(0x80020008)
#define DISP_E_EXCEPTION ZXAX_HR(0x80020009)
#define DISP_E_OVERFLOW ZXAX_HR(0x8002000A)
#define DISP_E_BADINDEX ZXAX_HR(0x8002000B)
#define DISP_E_UNKNOWNLCID ZXAX_HR(0x8002000C)
#define DISP_E_ARRAYISLOCKED ZXAX_HR(0x8002000D)
#define DISP_E_BADPARAMCOUNT ZXAX_HR(0x8002000E)
#define DISP_E_PARAMNOTOPTIONAL ZXAX_HR(0x8002000F)
#define DISP_E_BADCALLEE ZXAX_HR(0x80020010)
#define TYPE_E_ELEMENTNOTFOUND ZXAX_HR(0x8002802B)
#define CONNECT_E_NOCONNECTION ZXAX_HR(0x80040200)
#define CONNECT_E_ADVISELIMIT ZXAX_HR(0x80040201)
#define CONNECT_E_CANNOTCONNECT ZXAX_HR(0x80040202)

/* ---- variants --------------------------------------------------------------- */
enum VARENUM {
    VT_EMPTY = 0, VT_NULL = 1, VT_I2 = 2, VT_I4 = 3, VT_R4 = 4, VT_R8 = 5, VT_CY = 6,
    VT_DATE = 7, VT_BSTR = 8, VT_DISPATCH = 9, VT_ERROR = 10, VT_BOOL = 11, VT_VARIANT = 12,
    VT_UNKNOWN = 13, VT_DECIMAL = 14, VT_I1 = 16, VT_UI1 = 17, VT_UI2 = 18, VT_UI4 = 19,
    VT_I8 = 20, VT_UI8 = 21, VT_INT = 22, VT_UINT = 23, VT_VOID = 24, VT_HRESULT = 25,
    VT_PTR = 26, VT_SAFEARRAY = 27, VT_CARRAY = 28, VT_USERDEFINED = 29, VT_LPSTR = 30,
    VT_LPWSTR = 31, VT_RECORD = 36,
    VT_ARRAY = 0x2000, VT_BYREF = 0x4000, VT_TYPEMASK = 0x0FFF
};

/* zxax_VariantChangeType flags */
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02

struct IUnknown;
struct IDispatch;
struct IRecordInfo;
struct ITypeInfo;
struct ITypeLib;
struct ITypeComp;
struct IErrorInfo;
struct SAFEARRAY;
typedef struct IUnknown IUnknown;
typedef struct IDispatch IDispatch;
typedef struct IRecordInfo IRecordInfo;
typedef struct ITypeInfo ITypeInfo;
typedef struct ITypeLib ITypeLib;
typedef struct ITypeComp ITypeComp;
typedef struct IErrorInfo IErrorInfo;
typedef struct SAFEARRAY SAFEARRAY;

typedef struct VARIANT VARIANT;
/* 24 bytes: the type at offset 0, the value at offset 8. */
struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        CY cyVal;
        DATE date;
        BSTR bstrVal;
        IUnknown *punkVal;
        IDispatch *pdispVal;
        SAFEARRAY *parray;
        BYTE *pbVal;
        SHORT *piVal;
        LONG *plVal;
        LONGLONG *pllVal;
        float *pfltVal;
        double *pdblVal;
        VARIANT_BOOL *pboolVal;
        SCODE *pscode;
        CY *pcyVal;
        DATE *pdate;
        BSTR *pbstrVal;
        IUnknown **ppunkVal;
        IDispatch **ppdispVal;
        SAFEARRAY **pparray;
        VARIANT *pvarVal;
        void *byref;
        char cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        DECIMAL *pdecVal;
        char *pcVal;
        USHORT *puiVal;
        ULONG *pulVal;
        ULONGLONG *pullVal;
        INT *pintVal;
        UINT *puintVal;
        struct {
            void *pvRecord;
            IRecordInfo *pRecInfo;
        } brecVal;
    };
};
typedef VARIANT VARIANTARG;

typedef struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
} SAFEARRAYBOUND;

/* fFeatures */
#define FADF_AUTO 0x0001
#define FADF_STATIC 0x0002
#define FADF_EMBEDDED 0x0004
#define FADF_FIXEDSIZE 0x0010
#define FADF_RECORD 0x0020
#define FADF_HAVEIID 0x0040
#define FADF_HAVEVARTYPE 0x0080
#define FADF_BSTR 0x0100
#define FADF_UNKNOWN 0x0200
#define FADF_DISPATCH 0x0400
#define FADF_VARIANT 0x0800

struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void *pvData;
    SAFEARRAYBOUND rgsabound[1];
};

/* ---- dispatch ----------------------------------------------------------------- */
#define DISPID_UNKNOWN ((DISPID)-1)
#define DISPID_VALUE ((DISPID)0)
#define DISPID_PROPERTYPUT ((DISPID)-3)
#define DISPID_NEWENUM ((DISPID)-4)
#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPATCH_PROPERTYPUTREF 0x8
#define LOCALE_SYSTEM_DEFAULT 0x0800
#define LOCALE_USER_DEFAULT 0x0400

/* Arguments are stored last-first: rgvarg[cArgs - 1] is the first positional
 * argument; the named ones (rgdispidNamedArgs) come first in rgvarg. */
typedef struct DISPPARAMS {
    VARIANTARG *rgvarg;
    DISPID *rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
} DISPPARAMS;

typedef struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void *pvReserved;
    HRESULT (*pfnDeferredFillIn)(struct EXCEPINFO *);
    SCODE scode;
} EXCEPINFO;

typedef struct CONNECTDATA {
    IUnknown *pUnk;
    DWORD dwCookie;
} CONNECTDATA;

/* ---- type information ------------------------------------------------------ */
typedef enum TYPEKIND {
    TKIND_ENUM = 0, TKIND_RECORD, TKIND_MODULE, TKIND_INTERFACE, TKIND_DISPATCH,
    TKIND_COCLASS, TKIND_ALIAS, TKIND_UNION, TKIND_MAX
} TYPEKIND;
typedef enum FUNCKIND {
    FUNC_VIRTUAL = 0, FUNC_PUREVIRTUAL, FUNC_NONVIRTUAL, FUNC_STATIC, FUNC_DISPATCH
} FUNCKIND;
typedef enum INVOKEKIND {
    INVOKE_FUNC = 1, INVOKE_PROPERTYGET = 2, INVOKE_PROPERTYPUT = 4, INVOKE_PROPERTYPUTREF = 8
} INVOKEKIND;
typedef enum CALLCONV { CC_FASTCALL = 0, CC_CDECL = 1, CC_STDCALL = 4 } CALLCONV;
typedef enum VARKIND { VAR_PERINSTANCE = 0, VAR_STATIC, VAR_CONST, VAR_DISPATCH } VARKIND;
typedef enum SYSKIND { SYS_WIN16 = 0, SYS_WIN32, SYS_MAC, SYS_WIN64 } SYSKIND;

#define PARAMFLAG_NONE 0x00
#define PARAMFLAG_FIN 0x01
#define PARAMFLAG_FOUT 0x02
#define PARAMFLAG_FLCID 0x04
#define PARAMFLAG_FRETVAL 0x08
#define PARAMFLAG_FOPT 0x10
#define PARAMFLAG_FHASDEFAULT 0x20
#define TYPEFLAG_FAPPOBJECT 0x0001
#define TYPEFLAG_FCANCREATE 0x0002
#define TYPEFLAG_FHIDDEN 0x0010
#define TYPEFLAG_FDUAL 0x0040
#define TYPEFLAG_FNONEXTENSIBLE 0x0080
#define TYPEFLAG_FOLEAUTOMATION 0x0100
#define TYPEFLAG_FDISPATCHABLE 0x1000
#define IMPLTYPEFLAG_FDEFAULT 0x1
#define IMPLTYPEFLAG_FSOURCE 0x2
#define MEMBERID_NIL DISPID_UNKNOWN

typedef struct ARRAYDESC ARRAYDESC;
typedef struct TYPEDESC {
    union {
        struct TYPEDESC *lptdesc;
        ARRAYDESC *lpadesc;
        HREFTYPE hreftype;
    };
    VARTYPE vt;
} TYPEDESC;

typedef struct IDLDESC {
    uintptr_t dwReserved;
    USHORT wIDLFlags;
} IDLDESC;

typedef struct PARAMDESCEX {
    ULONG cBytes;
    VARIANTARG varDefaultValue;
} PARAMDESCEX;

typedef struct PARAMDESC {
    PARAMDESCEX *pparamdescex;
    USHORT wParamFlags;
} PARAMDESC;

typedef struct ELEMDESC {
    TYPEDESC tdesc;
    union {
        IDLDESC idldesc;
        PARAMDESC paramdesc;
    };
} ELEMDESC;

typedef struct TYPEATTR {
    GUID guid;
    LCID lcid;
    DWORD dwReserved;
    MEMBERID memidConstructor;
    MEMBERID memidDestructor;
    LPOLESTR lpstrSchema;
    ULONG cbSizeInstance;
    TYPEKIND typekind;
    WORD cFuncs;
    WORD cVars;
    WORD cImplTypes;
    WORD cbSizeVft;
    WORD cbAlignment;
    WORD wTypeFlags;
    WORD wMajorVerNum;
    WORD wMinorVerNum;
    TYPEDESC tdescAlias;
    IDLDESC idldescType;
} TYPEATTR;

typedef struct FUNCDESC {
    MEMBERID memid;
    SCODE *lprgscode;
    ELEMDESC *lprgelemdescParam;
    FUNCKIND funckind;
    INVOKEKIND invkind;
    CALLCONV callconv;
    SHORT cParams;
    SHORT cParamsOpt;
    SHORT oVft;
    SHORT cScodes;
    ELEMDESC elemdescFunc;
    WORD wFuncFlags;
} FUNCDESC;

typedef struct VARDESC {
    MEMBERID memid;
    LPOLESTR lpstrSchema;
    union {
        ULONG oInst;
        VARIANT *lpvarValue;
    };
    ELEMDESC elemdescVar;
    WORD wVarFlags;
    VARKIND varkind;
} VARDESC;

typedef struct TLIBATTR {
    GUID guid;
    LCID lcid;
    SYSKIND syskind;
    WORD wMajorVerNum;
    WORD wMinorVerNum;
    WORD wLibFlags;
} TLIBATTR;

/* ---- interfaces ------------------------------------------------------------
 * Each interface is declared once as a method list; C sees a struct holding a
 * vtable pointer, C++ an abstract class whose vtable has the same slots. */
#ifdef __cplusplus
#define ZXAX_METHOD(ret, name, args) virtual ret name args = 0;
#define ZXAX_THIS_(I)
#define ZXAX_THIS(I) void
#define ZXAX_INTERFACE(I, BASE, OWN) \
    struct I : BASE {                \
        OWN(I)                       \
    };
#define ZXAX_ROOT_INTERFACE(I, OWN) \
    struct I {                      \
        OWN(I)                      \
    };
#else
#define ZXAX_METHOD(ret, name, args) ret (*name) args;
#define ZXAX_THIS_(I) struct I *This,
#define ZXAX_THIS(I) struct I *This
#define ZXAX_INTERFACE(I, BASE, OWN) \
    struct I;                        \
    typedef struct I##Vtbl {         \
        BASE##_ALL(I) OWN(I)         \
    } I##Vtbl;                       \
    struct I {                       \
        const I##Vtbl *lpVtbl;       \
    };
#define ZXAX_ROOT_INTERFACE(I, OWN) \
    typedef struct I##Vtbl {        \
        OWN(I)                      \
    } I##Vtbl;                      \
    struct I {                      \
        const I##Vtbl *lpVtbl;      \
    };
#endif

#define IUnknown_OWN(I)                                                        \
    ZXAX_METHOD(HRESULT, QueryInterface, (ZXAX_THIS_(I) REFIID riid, void **ppv)) \
    ZXAX_METHOD(ULONG, AddRef, (ZXAX_THIS(I)))                                 \
    ZXAX_METHOD(ULONG, Release, (ZXAX_THIS(I)))
#define IUnknown_ALL(I) IUnknown_OWN(I)
ZXAX_ROOT_INTERFACE(IUnknown, IUnknown_OWN)

#define IDispatch_OWN(I)                                                                   \
    ZXAX_METHOD(HRESULT, GetTypeInfoCount, (ZXAX_THIS_(I) UINT * pctinfo))                 \
    ZXAX_METHOD(HRESULT, GetTypeInfo, (ZXAX_THIS_(I) UINT iTInfo, LCID lcid, ITypeInfo **ppTInfo)) \
    ZXAX_METHOD(HRESULT, GetIDsOfNames,                                                    \
                (ZXAX_THIS_(I) REFIID riid, LPOLESTR * rgszNames, UINT cNames, LCID lcid,  \
                 DISPID * rgDispId))                                                       \
    ZXAX_METHOD(HRESULT, Invoke,                                                           \
                (ZXAX_THIS_(I) DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,   \
                 DISPPARAMS * pDispParams, VARIANT * pVarResult, EXCEPINFO * pExcepInfo,   \
                 UINT * puArgErr))
#define IDispatch_ALL(I) IUnknown_ALL(I) IDispatch_OWN(I)
ZXAX_INTERFACE(IDispatch, IUnknown, IDispatch_OWN)

#define IClassFactory_OWN(I)                                                                 \
    ZXAX_METHOD(HRESULT, CreateInstance, (ZXAX_THIS_(I) IUnknown * pUnkOuter, REFIID riid, void **ppv)) \
    ZXAX_METHOD(HRESULT, LockServer, (ZXAX_THIS_(I) BOOL fLock))
#define IClassFactory_ALL(I) IUnknown_ALL(I) IClassFactory_OWN(I)
ZXAX_INTERFACE(IClassFactory, IUnknown, IClassFactory_OWN)
typedef struct IClassFactory IClassFactory;

struct IConnectionPoint;
struct IConnectionPointContainer;
struct IEnumConnections;
struct IEnumConnectionPoints;
typedef struct IConnectionPoint IConnectionPoint;
typedef struct IConnectionPointContainer IConnectionPointContainer;
typedef struct IEnumConnections IEnumConnections;
typedef struct IEnumConnectionPoints IEnumConnectionPoints;

#define IConnectionPointContainer_OWN(I)                                                      \
    ZXAX_METHOD(HRESULT, EnumConnectionPoints, (ZXAX_THIS_(I) IEnumConnectionPoints * *ppEnum)) \
    ZXAX_METHOD(HRESULT, FindConnectionPoint, (ZXAX_THIS_(I) REFIID riid, IConnectionPoint **ppCP))
#define IConnectionPointContainer_ALL(I) IUnknown_ALL(I) IConnectionPointContainer_OWN(I)
ZXAX_INTERFACE(IConnectionPointContainer, IUnknown, IConnectionPointContainer_OWN)

#define IConnectionPoint_OWN(I)                                                               \
    ZXAX_METHOD(HRESULT, GetConnectionInterface, (ZXAX_THIS_(I) IID * pIID))                  \
    ZXAX_METHOD(HRESULT, GetConnectionPointContainer,                                         \
                (ZXAX_THIS_(I) IConnectionPointContainer * *ppCPC))                           \
    ZXAX_METHOD(HRESULT, Advise, (ZXAX_THIS_(I) IUnknown * pUnkSink, DWORD * pdwCookie))      \
    ZXAX_METHOD(HRESULT, Unadvise, (ZXAX_THIS_(I) DWORD dwCookie))                            \
    ZXAX_METHOD(HRESULT, EnumConnections, (ZXAX_THIS_(I) IEnumConnections * *ppEnum))
#define IConnectionPoint_ALL(I) IUnknown_ALL(I) IConnectionPoint_OWN(I)
ZXAX_INTERFACE(IConnectionPoint, IUnknown, IConnectionPoint_OWN)

#define IEnumConnectionPoints_OWN(I)                                                          \
    ZXAX_METHOD(HRESULT, Next, (ZXAX_THIS_(I) ULONG cConnections, IConnectionPoint **ppCP, ULONG *pcFetched)) \
    ZXAX_METHOD(HRESULT, Skip, (ZXAX_THIS_(I) ULONG cConnections))                            \
    ZXAX_METHOD(HRESULT, Reset, (ZXAX_THIS(I)))                                               \
    ZXAX_METHOD(HRESULT, Clone, (ZXAX_THIS_(I) IEnumConnectionPoints * *ppEnum))
#define IEnumConnectionPoints_ALL(I) IUnknown_ALL(I) IEnumConnectionPoints_OWN(I)
ZXAX_INTERFACE(IEnumConnectionPoints, IUnknown, IEnumConnectionPoints_OWN)

#define IEnumConnections_OWN(I)                                                               \
    ZXAX_METHOD(HRESULT, Next, (ZXAX_THIS_(I) ULONG cConnections, CONNECTDATA * rgcd, ULONG * pcFetched)) \
    ZXAX_METHOD(HRESULT, Skip, (ZXAX_THIS_(I) ULONG cConnections))                            \
    ZXAX_METHOD(HRESULT, Reset, (ZXAX_THIS(I)))                                               \
    ZXAX_METHOD(HRESULT, Clone, (ZXAX_THIS_(I) IEnumConnections * *ppEnum))
#define IEnumConnections_ALL(I) IUnknown_ALL(I) IEnumConnections_OWN(I)
ZXAX_INTERFACE(IEnumConnections, IUnknown, IEnumConnections_OWN)

#define ISupportErrorInfo_OWN(I) \
    ZXAX_METHOD(HRESULT, InterfaceSupportsErrorInfo, (ZXAX_THIS_(I) REFIID riid))
#define ISupportErrorInfo_ALL(I) IUnknown_ALL(I) ISupportErrorInfo_OWN(I)
ZXAX_INTERFACE(ISupportErrorInfo, IUnknown, ISupportErrorInfo_OWN)
typedef struct ISupportErrorInfo ISupportErrorInfo;

#define IErrorInfo_OWN(I)                                                 \
    ZXAX_METHOD(HRESULT, GetGUID, (ZXAX_THIS_(I) GUID * pGUID))           \
    ZXAX_METHOD(HRESULT, GetSource, (ZXAX_THIS_(I) BSTR * pBstrSource))   \
    ZXAX_METHOD(HRESULT, GetDescription, (ZXAX_THIS_(I) BSTR * pBstrDescription)) \
    ZXAX_METHOD(HRESULT, GetHelpFile, (ZXAX_THIS_(I) BSTR * pBstrHelpFile)) \
    ZXAX_METHOD(HRESULT, GetHelpContext, (ZXAX_THIS_(I) DWORD * pdwHelpContext))
#define IErrorInfo_ALL(I) IUnknown_ALL(I) IErrorInfo_OWN(I)
ZXAX_INTERFACE(IErrorInfo, IUnknown, IErrorInfo_OWN)

#define ITypeInfo_OWN(I)                                                                     \
    ZXAX_METHOD(HRESULT, GetTypeAttr, (ZXAX_THIS_(I) TYPEATTR * *ppTypeAttr))                \
    ZXAX_METHOD(HRESULT, GetTypeComp, (ZXAX_THIS_(I) ITypeComp * *ppTComp))                  \
    ZXAX_METHOD(HRESULT, GetFuncDesc, (ZXAX_THIS_(I) UINT index, FUNCDESC **ppFuncDesc))     \
    ZXAX_METHOD(HRESULT, GetVarDesc, (ZXAX_THIS_(I) UINT index, VARDESC **ppVarDesc))        \
    ZXAX_METHOD(HRESULT, GetNames,                                                           \
                (ZXAX_THIS_(I) MEMBERID memid, BSTR * rgBstrNames, UINT cMaxNames, UINT * pcNames)) \
    ZXAX_METHOD(HRESULT, GetRefTypeOfImplType, (ZXAX_THIS_(I) UINT index, HREFTYPE * pRefType)) \
    ZXAX_METHOD(HRESULT, GetImplTypeFlags, (ZXAX_THIS_(I) UINT index, INT * pImplTypeFlags)) \
    ZXAX_METHOD(HRESULT, GetIDsOfNames,                                                      \
                (ZXAX_THIS_(I) LPOLESTR * rgszNames, UINT cNames, MEMBERID * pMemId))        \
    ZXAX_METHOD(HRESULT, Invoke,                                                             \
                (ZXAX_THIS_(I) void *pvInstance, MEMBERID memid, WORD wFlags,                \
                 DISPPARAMS *pDispParams, VARIANT *pVarResult, EXCEPINFO *pExcepInfo,        \
                 UINT *puArgErr))                                                            \
    ZXAX_METHOD(HRESULT, GetDocumentation,                                                   \
                (ZXAX_THIS_(I) MEMBERID memid, BSTR * pBstrName, BSTR * pBstrDocString,      \
                 DWORD * pdwHelpContext, BSTR * pBstrHelpFile))                              \
    ZXAX_METHOD(HRESULT, GetDllEntry,                                                        \
                (ZXAX_THIS_(I) MEMBERID memid, INVOKEKIND invKind, BSTR * pBstrDllName,      \
                 BSTR * pBstrName, WORD * pwOrdinal))                                        \
    ZXAX_METHOD(HRESULT, GetRefTypeInfo, (ZXAX_THIS_(I) HREFTYPE hRefType, ITypeInfo **ppTInfo)) \
    ZXAX_METHOD(HRESULT, AddressOfMember,                                                    \
                (ZXAX_THIS_(I) MEMBERID memid, INVOKEKIND invKind, void **ppv))              \
    ZXAX_METHOD(HRESULT, CreateInstance, (ZXAX_THIS_(I) IUnknown * pUnkOuter, REFIID riid, void **ppvObj)) \
    ZXAX_METHOD(HRESULT, GetMops, (ZXAX_THIS_(I) MEMBERID memid, BSTR * pBstrMops))          \
    ZXAX_METHOD(HRESULT, GetContainingTypeLib, (ZXAX_THIS_(I) ITypeLib * *ppTLib, UINT * pIndex)) \
    ZXAX_METHOD(void, ReleaseTypeAttr, (ZXAX_THIS_(I) TYPEATTR * pTypeAttr))                 \
    ZXAX_METHOD(void, ReleaseFuncDesc, (ZXAX_THIS_(I) FUNCDESC * pFuncDesc))                 \
    ZXAX_METHOD(void, ReleaseVarDesc, (ZXAX_THIS_(I) VARDESC * pVarDesc))
#define ITypeInfo_ALL(I) IUnknown_ALL(I) ITypeInfo_OWN(I)
ZXAX_INTERFACE(ITypeInfo, IUnknown, ITypeInfo_OWN)

#define ITypeLib_OWN(I)                                                                      \
    ZXAX_METHOD(UINT, GetTypeInfoCount, (ZXAX_THIS(I)))                                      \
    ZXAX_METHOD(HRESULT, GetTypeInfo, (ZXAX_THIS_(I) UINT index, ITypeInfo **ppTInfo))       \
    ZXAX_METHOD(HRESULT, GetTypeInfoType, (ZXAX_THIS_(I) UINT index, TYPEKIND * pTKind))     \
    ZXAX_METHOD(HRESULT, GetTypeInfoOfGuid, (ZXAX_THIS_(I) REFGUID guid, ITypeInfo **ppTinfo)) \
    ZXAX_METHOD(HRESULT, GetLibAttr, (ZXAX_THIS_(I) TLIBATTR * *ppTLibAttr))                 \
    ZXAX_METHOD(HRESULT, GetTypeComp, (ZXAX_THIS_(I) ITypeComp * *ppTComp))                  \
    ZXAX_METHOD(HRESULT, GetDocumentation,                                                   \
                (ZXAX_THIS_(I) INT index, BSTR * pBstrName, BSTR * pBstrDocString,           \
                 DWORD * pdwHelpContext, BSTR * pBstrHelpFile))                              \
    ZXAX_METHOD(HRESULT, IsName, (ZXAX_THIS_(I) LPOLESTR szNameBuf, ULONG lHashVal, BOOL * pfName)) \
    ZXAX_METHOD(HRESULT, FindName,                                                           \
                (ZXAX_THIS_(I) LPOLESTR szNameBuf, ULONG lHashVal, ITypeInfo **ppTInfo,      \
                 MEMBERID *rgMemId, USHORT *pcFound))                                        \
    ZXAX_METHOD(void, ReleaseTLibAttr, (ZXAX_THIS_(I) TLIBATTR * pTLibAttr))
#define ITypeLib_ALL(I) IUnknown_ALL(I) ITypeLib_OWN(I)
ZXAX_INTERFACE(ITypeLib, IUnknown, ITypeLib_OWN)

#define IRecordInfo_OWN(I)                                                                   \
    ZXAX_METHOD(HRESULT, RecordInit, (ZXAX_THIS_(I) void *pvNew))                            \
    ZXAX_METHOD(HRESULT, RecordClear, (ZXAX_THIS_(I) void *pvExisting))                      \
    ZXAX_METHOD(HRESULT, RecordCopy, (ZXAX_THIS_(I) void *pvExisting, void *pvNew))          \
    ZXAX_METHOD(HRESULT, GetGuid, (ZXAX_THIS_(I) GUID * pguid))                              \
    ZXAX_METHOD(HRESULT, GetName, (ZXAX_THIS_(I) BSTR * pbstrName))                          \
    ZXAX_METHOD(HRESULT, GetSize, (ZXAX_THIS_(I) ULONG * pcbSize))                           \
    ZXAX_METHOD(HRESULT, GetTypeInfo, (ZXAX_THIS_(I) ITypeInfo * *ppTypeInfo))               \
    ZXAX_METHOD(HRESULT, GetField, (ZXAX_THIS_(I) void *pvData, LPCOLESTR szFieldName, VARIANT *pvarField)) \
    ZXAX_METHOD(HRESULT, GetFieldNoCopy,                                                     \
                (ZXAX_THIS_(I) void *pvData, LPCOLESTR szFieldName, VARIANT *pvarField,      \
                 void **ppvDataCArray))                                                      \
    ZXAX_METHOD(HRESULT, PutField,                                                           \
                (ZXAX_THIS_(I) ULONG wFlags, void *pvData, LPCOLESTR szFieldName, VARIANT *pvarField)) \
    ZXAX_METHOD(HRESULT, PutFieldNoCopy,                                                     \
                (ZXAX_THIS_(I) ULONG wFlags, void *pvData, LPCOLESTR szFieldName, VARIANT *pvarField)) \
    ZXAX_METHOD(HRESULT, GetFieldNames, (ZXAX_THIS_(I) ULONG * pcNames, BSTR * rgBstrNames)) \
    ZXAX_METHOD(BOOL, IsMatchingType, (ZXAX_THIS_(I) IRecordInfo * pRecordInfo))             \
    ZXAX_METHOD(void *, RecordCreate, (ZXAX_THIS(I)))                                        \
    ZXAX_METHOD(HRESULT, RecordCreateCopy, (ZXAX_THIS_(I) void *pvSource, void **ppvDest))   \
    ZXAX_METHOD(HRESULT, RecordDestroy, (ZXAX_THIS_(I) void *pvRecord))
#define IRecordInfo_ALL(I) IUnknown_ALL(I) IRecordInfo_OWN(I)
ZXAX_INTERFACE(IRecordInfo, IUnknown, IRecordInfo_OWN)

/* ---- the interfaces' own identifiers ----------------------------------------- */
#if defined(__cplusplus)
#define ZXAX_IID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr IID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};
#else
#define ZXAX_IID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    static const IID name __attribute__((unused)) = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};
#endif
ZXAX_IID(IID_NULL, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)
ZXAX_IID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46)
ZXAX_IID(IID_IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46)
ZXAX_IID(IID_IDispatch, 0x00020400, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46)
ZXAX_IID(IID_ITypeInfo, 0x00020401, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46)
ZXAX_IID(IID_ITypeLib, 0x00020402, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46)
ZXAX_IID(IID_IRecordInfo, 0x0000002F, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46)
ZXAX_IID(IID_IConnectionPointContainer, 0xB196B284, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07)
ZXAX_IID(IID_IEnumConnectionPoints, 0xB196B285, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07)
ZXAX_IID(IID_IConnectionPoint, 0xB196B286, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07)
ZXAX_IID(IID_IEnumConnections, 0xB196B287, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07)
ZXAX_IID(IID_ISupportErrorInfo, 0xDF0B3D60, 0x548F, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19)
ZXAX_IID(IID_IErrorInfo, 0x1CF2B120, 0x547D, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19)

/* CoCreateInstance contexts: only in-process servers exist here. */
#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_ALL 0x17

/* The entry points an in-process server exports. */
typedef HRESULT (*LPFNGETCLASSOBJECT)(REFCLSID rclsid, REFIID riid, void **ppv);
typedef HRESULT (*LPFNCANUNLOADNOW)(void);

/* ---- functions ---------------------------------------------------------------- */
/* libkalax.so is itself an in-process server of the automation objects
 * "KalAx.IoXml" and "KalAx.KalLog": registering writes them and the type
 * library KalAx 1.0 into the registry file (see zxax_CoCreateInstance),
 * unregistering removes both objects and leaves the type library. */
ZX_API HRESULT DllRegisterServer(void);
ZX_API HRESULT DllUnregisterServer(void);
ZX_API HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void **ppv);
ZX_API HRESULT DllCanUnloadNow(void);

ZX_API BSTR zxax_SysAllocString(const OLECHAR *psz);
/* `psz` may be null: `ui` characters are then left zero. */
ZX_API BSTR zxax_SysAllocStringLen(const OLECHAR *psz, UINT ui);
ZX_API void zxax_SysFreeString(BSTR bstr);
ZX_API UINT zxax_SysStringLen(BSTR bstr);

ZX_API void zxax_VariantInit(VARIANTARG *pvarg);
ZX_API HRESULT zxax_VariantClear(VARIANTARG *pvarg);
ZX_API HRESULT zxax_VariantCopy(VARIANTARG *pvargDest, const VARIANTARG *pvargSrc);
/* Integer, float, double, bool, date and string variants convert into each
 * other; numbers print and parse in the invariant form ("1.5"), a bool prints
 * as "-1"/"0", or "True"/"False" with VARIANT_ALPHABOOL. DISP_E_OVERFLOW when
 * the value does not fit, DISP_E_TYPEMISMATCH when it cannot be converted. */
ZX_API HRESULT zxax_VariantChangeType(VARIANTARG *pvargDest, const VARIANTARG *pvarSrc,
                                      USHORT wFlags, VARTYPE vt);

ZX_API SAFEARRAY *zxax_SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
ZX_API HRESULT zxax_SafeArrayDestroy(SAFEARRAY *psa);
ZX_API HRESULT zxax_SafeArrayGetLBound(SAFEARRAY *psa, UINT nDim, LONG *plLbound);
ZX_API HRESULT zxax_SafeArrayGetUBound(SAFEARRAY *psa, UINT nDim, LONG *plUbound);
ZX_API HRESULT zxax_SafeArrayGetElement(SAFEARRAY *psa, LONG *rgIndices, void *pv);
ZX_API HRESULT zxax_SafeArrayPutElement(SAFEARRAY *psa, LONG *rgIndices, void *pv);
ZX_API HRESULT zxax_SafeArrayAccessData(SAFEARRAY *psa, void **ppvData);
ZX_API HRESULT zxax_SafeArrayUnaccessData(SAFEARRAY *psa);

/* "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (39 characters with the terminator). */
ZX_API HRESULT zxax_CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
ZX_API HRESULT zxax_CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
/* Returns the characters written with the terminator (39), 0 when cchMax is short. */
ZX_API int zxax_StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);

/* Looks the class up in the registry, loads the registered library and asks its
 * DllGetClassObject for the class factory. The calling thread must be an
 * apartment (CO_E_NOTINITIALIZED). */
ZX_API HRESULT zxax_CoCreateInstance(REFCLSID rclsid, IUnknown *pUnkOuter, DWORD dwClsContext,
                                     REFIID riid, void **ppv);

/* The calling thread's error info: Set replaces it (null clears it), Get hands
 * it over and clears it (S_FALSE and null when there is none). */
ZX_API HRESULT zxax_GetErrorInfo(ULONG dwReserved, IErrorInfo **pperrinfo);
ZX_API HRESULT zxax_SetErrorInfo(ULONG dwReserved, IErrorInfo *perrinfo);

/* Counted per thread: S_OK the first time, S_FALSE again; each call is matched
 * by one zxax_CoUninitialize. */
ZX_API HRESULT zxax_CoInitialize(void *pvReserved);
ZX_API void zxax_CoUninitialize(void);

#ifdef __cplusplus
}  // extern "C"

inline bool operator==(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator!=(const GUID &a, const GUID &b) { return !(a == b); }
#endif

#endif /* _WIN32 */

#endif /* KALAX_AX_H */
