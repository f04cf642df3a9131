# Cross-build for Windows (x86_64) with Debian's mingw-w64 (POSIX threads).
# VANTREL_WINDOWS_DEPS (environment): prefix holding the Windows builds of
# GoogleTest and libdvbpsi and the header-only libraries (scripts/test-windows).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
