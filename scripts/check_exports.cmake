# The shared library must export exactly what the public headers declare, both
# ways: no internal symbol leaks, and everything declared has a body outside.
#   cmake -DLIB=libkalax.so -DARCHIVE=libkalax_internal.a -DHEADERS=include/kalax -P check_exports.cmake
#
# C names: each exported one matches one of `c_names` and is declared in a
# public header with ZX_API; each one declared that way is exported.
# C++ names (namespace zxapi): each exported one belongs to a class or function
# a public header declares (nothing of zxapi::detail or of an internal class);
# each function the library defines for a public class or function is exported
# (a definition the version script or a missing ZXAPI_CLASS keeps inside shows
# up as a strong symbol of the static twin that the shared library lacks); each
# function declared with ZXAPI_CLASS is exported.

# ---- the exported C names, one pattern per line ---------------------------------
set(c_names
  "^(zx|zxxml|zxpld)_"   # the two clients, their shared helpers, zx_events_*
  "^zxax_"               # the component-object runtime
  "^Dll(RegisterServer|UnregisterServer|GetClassObject|CanUnloadNow)$"  # the server's entry points
)
# ---- how a public header declares them (group 1: the name) -------------------------
set(c_declaration "ZX_API[^;(]*[ *]([A-Za-z][A-Za-z0-9_]*)\\(")

# ---------------------------------------------------------------------------------
function(nm_lines out)
  execute_process(COMMAND nm ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm ${ARGN} failed")
  endif()
  # Lists split on ";", which demangled names do not hold; brackets would
  # confuse list handling, so they are neutralised.
  string(REPLACE "[" "<" text "${text}")
  string(REPLACE "]" ">" text "${text}")
  string(REPLACE "\n" ";" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The public name (class or free function directly in namespace zxapi) a
# demangled C++ symbol belongs to; empty when it names nothing there.
function(zxapi_owner symbol out)
  if(symbol MATCHES "^(vtable for |typeinfo for |typeinfo name for |non-virtual thunk to |virtual thunk to |guard variable for )?zxapi::([A-Za-z_][A-Za-z0-9_]*)")
    set(${out} ${CMAKE_MATCH_2} PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

# ---- what the public headers declare -------------------------------------------------
file(GLOB headers ${HEADERS}/*.h)
set(declared_c "")
set(public_names "")      # classes, structs and functions of namespace zxapi
set(exported_functions "") # free functions declared with ZXAPI_CLASS
foreach(h ${headers})
  file(READ ${h} text)
  string(REGEX MATCHALL "${c_declaration}" decls "${text}")
  foreach(d ${decls})
    string(REGEX REPLACE "${c_declaration}" "\\1" name "${d}")
    list(APPEND declared_c ${name})
  endforeach()
  if(h MATCHES "/zxapi[^/]*\\.h$")
    # Definitions only (not forward or friend declarations, not template parameters).
    string(REGEX MATCHALL "(class|struct)( ZXAPI_CLASS)? [A-Za-z_][A-Za-z0-9_]*( final)? *(:[ \t\n]|\\{)" classes "${text}")
    foreach(c ${classes})
      string(REGEX REPLACE "^(class|struct)( ZXAPI_CLASS)? ([A-Za-z_][A-Za-z0-9_]*).*" "\\3" name "${c}")
      list(APPEND public_names ${name})
    endforeach()
    string(REGEX MATCHALL "\nZXAPI_CLASS [^;(]*[ *&]([A-Za-z_][A-Za-z0-9_]*)\\(" fns "${text}")
    foreach(f ${fns})
      string(REGEX REPLACE ".*[ *&]([A-Za-z_][A-Za-z0-9_]*)\\($" "\\1" name "${f}")
      list(APPEND public_names ${name})
      list(APPEND exported_functions ${name})
    endforeach()
  endif()
endforeach()
list(REMOVE_DUPLICATES declared_c)
list(REMOVE_DUPLICATES public_names)
list(REMOVE_DUPLICATES exported_functions)

# ---- what the shared library exports -----------------------------------------------
nm_lines(lines -DC --defined-only ${LIB})
set(exported_c "")
set(exported_cxx "")
foreach(line ${lines})
  if(NOT line MATCHES "^[0-9a-f]+ [A-Za-z] (.+)$")
    continue()
  endif()
  set(sym "${CMAKE_MATCH_1}")
  if(sym MATCHES "^(_init|_fini|_edata|_end|__bss_start)$")
    continue()
  endif()
  if(sym MATCHES "^[A-Za-z_][A-Za-z0-9_@.]*$")
    set(known OFF)
    foreach(pattern ${c_names})
      if(sym MATCHES "${pattern}")
        set(known ON)
      endif()
    endforeach()
    if(NOT known)
      message(SEND_ERROR "exported symbol without a public prefix: ${sym}")
    endif()
    list(APPEND exported_c ${sym})
    continue()
  endif()
  zxapi_owner("${sym}" owner)
  if(owner STREQUAL "")
    message(SEND_ERROR "exported C++ symbol outside namespace zxapi: ${sym}")
  else()
    list(FIND public_names ${owner} at)
    if(at EQUAL -1)
      message(SEND_ERROR "exported but not declared in a public header: ${sym}")
    endif()
  endif()
  list(APPEND exported_cxx "${sym}")
endforeach()

# ---- C names both ways -----------------------------------------------------------------
foreach(name ${declared_c})
  list(FIND exported_c ${name} at)
  if(at EQUAL -1)
    message(SEND_ERROR "declared but not exported: ${name}")
  endif()
endforeach()
foreach(name ${exported_c})
  list(FIND declared_c ${name} at)
  if(at EQUAL -1)
    message(SEND_ERROR "exported but not declared: ${name}")
  endif()
endforeach()

# ---- C++ names: what the library defines for a public name is exported ---------------------
set(owners_exported "")
foreach(sym ${exported_cxx})
  zxapi_owner("${sym}" owner)
  list(APPEND owners_exported ${owner})
endforeach()
foreach(name ${exported_functions})
  list(FIND owners_exported ${name} at)
  if(at EQUAL -1)
    message(SEND_ERROR "declared with ZXAPI_CLASS but not exported: zxapi::${name}")
  endif()
endforeach()
if(ARCHIVE)
  nm_lines(defined -C --defined-only ${ARCHIVE})
  set(missing "")
  foreach(line ${defined})
    # Strong definitions only: inline and template code (weak) is compiled
    # into every user and needs no export.
    if(NOT line MATCHES "^[0-9a-f]+ [TDBR] (.+)$")
      continue()
    endif()
    set(sym "${CMAKE_MATCH_1}")
    zxapi_owner("${sym}" owner)
    if(owner STREQUAL "")
      continue()
    endif()
    # A function that names a zxapi type no public header defines (such as an
    # overload for an internal record) cannot be called from outside: no export due.
    string(REGEX MATCHALL "zxapi::(detail::)?[A-Za-z_][A-Za-z0-9_]*" named "${sym}")
    set(internal OFF)
    foreach(n ${named})
      string(REGEX REPLACE "^zxapi::(detail::)?" "" n "${n}")
      list(FIND public_names ${n} at)
      if(at EQUAL -1)
        set(internal ON)
      endif()
    endforeach()
    if(internal)
      continue()
    endif()
    list(FIND exported_cxx "${sym}" at)
    if(at EQUAL -1)
      list(APPEND missing "${sym}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES missing)
  foreach(sym ${missing})
    message(SEND_ERROR "defined for a public name but not exported: ${sym}")
  endforeach()
endif()

list(LENGTH exported_c n_c)
list(LENGTH exported_cxx n_cxx)
list(LENGTH public_names n_names)
message(STATUS "${n_c} C and ${n_cxx} C++ symbols exported; ${n_names} public zxapi names, all accounted for")
