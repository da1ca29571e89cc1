# Cross-compiling for 64-bit Windows with Debian's mingw-w64 toolchain.
# The -posix compilers use the winpthreads thread model: the win32 model has no std::thread or
# std::mutex. CMAKE_FIND_ROOT_PATH may name further roots (the cross-built dependencies).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELKU_VMQ_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PELKU_VMQ_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELKU_VMQ_MINGW}-g++-posix)

list(APPEND CMAKE_FIND_ROOT_PATH /usr/${PELKU_VMQ_MINGW})
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
