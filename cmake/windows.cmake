# The Windows DLL, cross-built with cmake/mingw-w64-x86_64.cmake (included by
# the top CMakeLists.txt once the module target exists):
# - exports by name at fixed ordinals (module/KZR_PlugIn_6.def),
# - the version resource (module/version.rc.in, numbers from the project),
# - oneTBB as a delay-loaded DLL beside the module.  It ships as kzr_tbb12.dll
#   rather than tbb12.dll, so a host that has loaded some other tbb12.dll
#   keeps its own; imaging/tbb_library_win.cpp loads it by full path on first
#   use and renders on the calling thread when it cannot.
enable_language(RC)

configure_file(${CMAKE_SOURCE_DIR}/module/version.rc.in ${CMAKE_BINARY_DIR}/module/version.rc @ONLY)
target_sources(KZR_PlugIn_6 PRIVATE
  ${CMAKE_SOURCE_DIR}/module/KZR_PlugIn_6.def ${CMAKE_BINARY_DIR}/module/version.rc)

# ---- oneTBB ------------------------------------------------------------------
set(KZR_TBB_ROOT "" CACHE PATH
  "oneTBB built for Windows x64: include/, bin/libtbb12.dll (scripts/build-windows.sh builds it)")
if(NOT EXISTS "${KZR_TBB_ROOT}/include/oneapi/tbb.h" OR NOT EXISTS "${KZR_TBB_ROOT}/bin/libtbb12.dll")
  message(FATAL_ERROR "KZR_TBB_ROOT='${KZR_TBB_ROOT}' holds no oneTBB built for Windows: "
    "expected include/oneapi/tbb.h and bin/libtbb12.dll there (scripts/build-windows.sh builds them)")
endif()
find_program(KZR_GENDEF gendef REQUIRED)

set(KZR_TBB_DLL kzr_tbb12.dll)
set(tbb_dll ${CMAKE_BINARY_DIR}/bin/${KZR_TBB_DLL})
set(tbb_delaylib ${CMAKE_BINARY_DIR}/delayimp/libkzr_tbb12_delay.a)
add_custom_command(OUTPUT ${tbb_dll} ${tbb_delaylib}
  COMMAND ${CMAKE_COMMAND} -E copy ${KZR_TBB_ROOT}/bin/libtbb12.dll ${tbb_dll}
  COMMAND ${CMAKE_COMMAND} -DDLL=${tbb_dll} -DNAME=${KZR_TBB_DLL} -DDELAYLIB=${tbb_delaylib}
          -DGENDEF=${KZR_GENDEF} -DDLLTOOL=${CMAKE_DLLTOOL}
          -P ${CMAKE_SOURCE_DIR}/cmake/tbb-delaylib.cmake
  DEPENDS ${KZR_TBB_ROOT}/bin/libtbb12.dll ${CMAKE_SOURCE_DIR}/cmake/tbb-delaylib.cmake
  COMMENT "oneTBB as ${KZR_TBB_DLL}, delay-loaded"
  VERBATIM)
add_custom_target(kzr_tbb DEPENDS ${tbb_dll} ${tbb_delaylib})

add_dependencies(kzr_core kzr_tbb)
target_include_directories(kzr_core SYSTEM PUBLIC ${KZR_TBB_ROOT}/include)
target_link_libraries(kzr_core PUBLIC ${tbb_delaylib})
set_property(SOURCE ${CMAKE_SOURCE_DIR}/imaging/tbb_library_win.cpp APPEND PROPERTY
  COMPILE_DEFINITIONS KZR_TBB_DLL="${KZR_TBB_DLL}")

# Enters the delay-import descriptors of a linked image in its PE header.
function(kzr_record_delay_imports target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/pe-delay-directory.sh
            ${CMAKE_NM} ${CMAKE_OBJDUMP} $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
kzr_record_delay_imports(KZR_PlugIn_6)
