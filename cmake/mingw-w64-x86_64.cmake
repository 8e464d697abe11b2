# Cross-compiles Kadrova for 64-bit Windows with Debian's mingw-w64.
#
# The program must run against the UCRT: msvcrt.dll, which mingw-w64 links by
# default, ignores the "x" of "wbx" and would let an existing file be
# overwritten. A specs file of the compiler's own with -lmsvcrt replaced by
# -lucrt makes every link use the UCRT's import library instead.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpspecs OUTPUT_VARIABLE kadrova_specs RESULT_VARIABLE kadrova_specs_result)
if(NOT kadrova_specs_result EQUAL 0)
  message(FATAL_ERROR "${CMAKE_C_COMPILER} -dumpspecs failed")
endif()
string(REPLACE "-lmsvcrt" "-lucrt" kadrova_specs "${kadrova_specs}")
set(kadrova_specs_file ${CMAKE_BINARY_DIR}/ucrt.specs)
file(WRITE ${kadrova_specs_file} "${kadrova_specs}")

set(CMAKE_C_FLAGS_INIT "-specs=${kadrova_specs_file}")
set(CMAKE_CXX_FLAGS_INIT "-specs=${kadrova_specs_file}")
# No mingw DLL beside the program: libgcc, libstdc++ and winpthread go in
# whole. (The posix thread model, because GoogleTest needs std::mutex.)
# Debian's winpthread was built for msvcrt and calls _setjmp, which the UCRT
# exports as __intrinsic_setjmp, with the same two arguments on x64.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--defsym=_setjmp=__intrinsic_setjmp")

# Tests run under Wine, in a prefix of the build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine_run.sh)
