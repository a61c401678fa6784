# Linux x86-64 programs that run on glibc 2.31 (Debian 11, Ubuntu 20.04) and newer: this machine's
# GCC and libstdc++ (linked statically), with the C library of Debian 11 from the sysroot that
# scripts/glibc-sysroot.sh unpacks.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/sysroot-glibc-2.31")
# GCC looks for the C library's start files and libraries beside itself before the sysroot.
set(sysroot_lib "${CMAKE_SYSROOT}/usr/lib/x86_64-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-B${sysroot_lib} -L${sysroot_lib} -L${CMAKE_SYSROOT}/lib/x86_64-linux-gnu")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(TALVANE_GLIBC_COMPAT ON)
