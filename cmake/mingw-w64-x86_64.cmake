# Cross-compiling for Windows x64 with Debian's mingw-w64 (posix-thread
# compilers: oneTBB needs std::thread and friends, which the win32-thread
# ones lack).  Everything links fully static, so the DLLs and programs import
# only system DLLs and never libstdc++-6.dll, libgcc_s_seh-1.dll or
# libwinpthread-1.dll.  Programs run through Wine when an emulator is wanted.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(KZR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KZR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KZR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KZR_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${KZR_MINGW_PREFIX}-dlltool)
set(CMAKE_OBJDUMP ${KZR_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${KZR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)

# Programs built here (the tests, the text-table generator) run under Wine,
# in a prefix of the build folder's own, quietly and without a display.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(KZR_WINE wine)
  if(KZR_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR
      env -u DISPLAY WINEPREFIX=${CMAKE_BINARY_DIR}/wine WINEDEBUG=-all ${KZR_WINE})
  endif()
endif()
