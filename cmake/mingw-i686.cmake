# Cross-build for Windows (i686) with Debian's mingw-w64 (POSIX threads).
# VANTREL_WINDOWS_DEPS (environment): prefix holding the Windows builds of
# GoogleTest and libdvbpsi and the header-only libraries (scripts/test-windows).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Doubles in SSE2 registers, rounded as on x86_64 and Linux: the x87 unit's
# wider registers change the last digits of computed times and rates.
# Every Windows that runs this has SSE2.
string(APPEND CMAKE_C_FLAGS_INIT " -msse2 -mfpmath=sse")
string(APPEND CMAKE_CXX_FLAGS_INIT " -msse2 -mfpmath=sse")
