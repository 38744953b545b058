/* The header seen from C: the vtables are plain structs of function pointers
 * in the interfaces' slot order, and the records keep their sizes. */
#include <stddef.h>

#include "kalax/ax.h"

#define SLOT(vtbl, member, n) _Static_assert(offsetof(vtbl, member) == (n) * sizeof(void *), #vtbl "." #member)

SLOT(IUnknownVtbl, QueryInterface, 0);
SLOT(IDispatchVtbl, Release, 2);
SLOT(IDispatchVtbl, GetTypeInfoCount, 3);
SLOT(IDispatchVtbl, Invoke, 6);
SLOT(IClassFactoryVtbl, CreateInstance, 3);
SLOT(IClassFactoryVtbl, LockServer, 4);
SLOT(IConnectionPointContainerVtbl, EnumConnectionPoints, 3);
SLOT(IConnectionPointVtbl, GetConnectionInterface, 3);
SLOT(IConnectionPointVtbl, EnumConnections, 7);
SLOT(IEnumConnectionPointsVtbl, Clone, 6);
SLOT(IEnumConnectionsVtbl, Next, 3);
SLOT(ISupportErrorInfoVtbl, InterfaceSupportsErrorInfo, 3);
SLOT(IErrorInfoVtbl, GetGUID, 3);
SLOT(IErrorInfoVtbl, GetHelpContext, 7);
SLOT(ITypeInfoVtbl, GetTypeAttr, 3);
SLOT(ITypeInfoVtbl, GetNames, 7);
SLOT(ITypeInfoVtbl, ReleaseVarDesc, 21);
SLOT(ITypeLibVtbl, GetTypeInfoCount, 3);
SLOT(ITypeLibVtbl, ReleaseTLibAttr, 12);
SLOT(IRecordInfoVtbl, RecordInit, 3);
SLOT(IRecordInfoVtbl, RecordDestroy, 18);

_Static_assert(sizeof(GUID) == 16, "GUID");
_Static_assert(sizeof(VARIANT) == 24 && offsetof(VARIANT, lVal) == 8, "VARIANT");
_Static_assert(sizeof(SAFEARRAY) == 32 && offsetof(SAFEARRAY, rgsabound) == 24, "SAFEARRAY");
_Static_assert(sizeof(DISPPARAMS) == 24 && sizeof(EXCEPINFO) == 64, "DISPPARAMS, EXCEPINFO");
_Static_assert(sizeof(TYPEATTR) == 96 && sizeof(FUNCDESC) == 88 && sizeof(VARDESC) == 64, "type info records");

int kalax_ax_layout_checked_in_c(void) { return 1; }
