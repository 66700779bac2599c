# Cross-compilation for the product: 32-bit Windows (i686) with MinGW-w64 GCC,
# posix thread model (std::thread, std::mutex), everything linked statically so
# the executables import only system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KRO_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${KRO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KRO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KRO_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KRO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
