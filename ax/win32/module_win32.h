// This library's own module on Windows: its file and the type library it carries.
#pragma once

#include <string>

#include "kalax/ax.h"

namespace kalax::ax::win32 {

// The full path this library was loaded from; empty (GetLastError set) on failure.
std::wstring module_path();

// The type library of the resource TYPELIB 1, loaded on first use and kept.
HRESULT carried_type_lib(ITypeLib **out);

}  // namespace kalax::ax::win32
