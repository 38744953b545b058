# The automation server on Windows (included by the top-level CMakeLists in
# place of the ax layer): the objects' own code as on every platform, on the
# system's component model. The runtime pieces that oleaut32 and the registry
# replace are left out; ax/win32 adds the server's entry points and IDispatch
# through the type library the library carries as its resource TYPELIB 1,
# compiled by widl from the checked-in tests/ax/KalAx.idl (which
# kalax_objects_test keeps equal to the type descriptions).

enable_language(RC)
find_program(KALAX_WIDL NAMES widl widl-stable PATHS /usr/lib/wine /usr/lib/x86_64-linux-gnu/wine
             NO_CMAKE_FIND_ROOT_PATH)
set(KALAX_WIDL_INCLUDE /usr/include/wine/wine/windows CACHE PATH "The folder of oaidl.idl for widl")
if(NOT KALAX_WIDL OR NOT EXISTS ${KALAX_WIDL_INCLUDE}/oaidl.idl)
  message(FATAL_ERROR "The Windows build needs widl and oaidl.idl (Debian packages wine64-tools, libwine-dev)")
endif()

kalax_layer(ax FOLDERS ax ax/win32 HEADERS kalax/zx.h kalax/ax.h LINKS kalax_zxapi)

get_target_property(kalax_ax_sources kalax_ax SOURCES)
foreach(name apartment dispatch idl registry safearray server typeinfo variant)
  list(FILTER kalax_ax_sources EXCLUDE REGEX "/ax/${name}\\.cpp$")
endforeach()

# The type library and, for the native test client, the header of its interfaces.
set(KALAX_AX_GEN ${PROJECT_BINARY_DIR}/ax_win32)
set(kalax_idl ${PROJECT_SOURCE_DIR}/tests/ax/KalAx.idl)
file(MAKE_DIRECTORY ${KALAX_AX_GEN})
add_custom_command(OUTPUT ${KALAX_AX_GEN}/KalAx.tlb ${KALAX_AX_GEN}/KalAx.h
  COMMAND ${KALAX_WIDL} -I${KALAX_WIDL_INCLUDE} -t -o ${KALAX_AX_GEN}/KalAx.tlb ${kalax_idl}
  COMMAND ${KALAX_WIDL} -I${KALAX_WIDL_INCLUDE} -h -o ${KALAX_AX_GEN}/KalAx.h ${kalax_idl}
  DEPENDS ${kalax_idl} VERBATIM)
set(kalax_rc ${PROJECT_SOURCE_DIR}/ax/win32/kalax.rc)
set_source_files_properties(${kalax_rc} PROPERTIES OBJECT_DEPENDS ${KALAX_AX_GEN}/KalAx.tlb)
set_property(TARGET kalax_ax PROPERTY SOURCES ${kalax_ax_sources} ${kalax_rc} ${KALAX_AX_GEN}/KalAx.tlb)
# windres finds the .tlb on the include path.
target_include_directories(kalax_ax PRIVATE ${KALAX_AX_GEN})
# OLECHAR is wchar_t here: BSTRs are read as char16_t text (both UTF-16 units).
target_compile_options(kalax_ax PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-strict-aliasing>)
# For the DLL's link line: kalax is made of the layers' object files, which
# bring none of their link libraries along, so a target link here would not
# reach it. The runtime layer has taken its own list already.
list(APPEND KALAX_PLATFORM_LIBS oleaut32 ole32 uuid advapi32)

# The native test client of tests/windows, a host as a user writes one, on the
# header widl makes from the same IDL; built with the other Windows tests.
if(KALAX_WINDOWS_SMOKE)
  add_executable(kalax_wine_client ${PROJECT_SOURCE_DIR}/tests/windows/client/kalax_wine_client.cpp
                 ${KALAX_AX_GEN}/KalAx.h)
  target_include_directories(kalax_wine_client PRIVATE ${KALAX_AX_GEN})
  target_link_libraries(kalax_wine_client PRIVATE oleaut32 ole32 uuid)
  target_link_options(kalax_wine_client PRIVATE -municode)
endif()
