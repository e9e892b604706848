# Cross build for the unit's ARM processor (32-bit, hard float) with Debian's cross compiler and
# the armhf multiarch libraries:
#   dpkg --add-architecture armhf && apt-get update
#   apt-get install g++-arm-linux-gnueabihf qemu-user liblog4cpp5v5:armhf libxml2-dev:armhf \
#                   libgtest-dev:armhf libgmock-dev:armhf
# (scripts/bootstrap arm does this; scripts/cross-build builds and tests with this file).
#
# Tests and gtest discovery run the armhf binaries through qemu-arm (user-mode emulation), and
# the tests start the daemon and the tools through it as well (tests/support: emulatorPrefix).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(BORL1D_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_LIBRARY_ARCHITECTURE ${BORL1D_CROSS_TRIPLET})
set(CMAKE_C_COMPILER ${BORL1D_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${BORL1D_CROSS_TRIPLET}-g++)

# Programs run on the build machine; libraries and headers come from the armhf multiarch paths
# (/usr/lib/arm-linux-gnueabihf, which CMAKE_LIBRARY_ARCHITECTURE selects) and /usr/include.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Large-file interfaces on this 32-bit target: 64-bit file offsets and inode numbers. Without
# them readdir() fails with EOVERFLOW on file systems that hand out 64-bit directory offsets,
# which is what the armhf binaries see under qemu-arm on a 64-bit build machine.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")

# The binaries find their loader and libraries in the armhf multiarch tree (libc6:armhf and the
# other run-time packages that the -dev:armhf packages pull in), where every library comes from
# the same Debian release. Pointing qemu at the cross toolchain's C library instead
# (-L /usr/arm-linux-gnueabihf) mixes two builds of glibc, and threaded programs crash.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)

# pkg-config must see the armhf .pc files only, never the build machine's.
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(_borl1d_pc_dirs /usr/lib/${BORL1D_CROSS_TRIPLET}/pkgconfig /usr/share/pkgconfig)

# log4cpp's -dev package cannot be installed for two architectures at once (it is not
# multiarch-co-installable), and the native build needs the amd64 one. Its headers are the same
# for every architecture, so the cross build takes them from the native -dev package and links
# the armhf run-time library (liblog4cpp5v5:armhf) through a small shim of its own: the
# development link and a pkg-config file.
set(_borl1d_log4cpp_so /usr/lib/${BORL1D_CROSS_TRIPLET}/liblog4cpp.so.5)
if(NOT EXISTS /usr/lib/${BORL1D_CROSS_TRIPLET}/pkgconfig/log4cpp.pc
   AND EXISTS ${_borl1d_log4cpp_so})
  # The shim lives in the top-level build tree. This file is read again for every try_compile
  # project of the same CMake run, whose build directory is removed afterwards: the environment
  # keeps the first choice.
  if(NOT DEFINED ENV{BORL1D_ARMHF_SHIM})
    set(ENV{BORL1D_ARMHF_SHIM} ${CMAKE_BINARY_DIR}/armhf-shim)
  endif()
  set(_borl1d_shim $ENV{BORL1D_ARMHF_SHIM})
  if(NOT EXISTS ${_borl1d_shim}/pkgconfig/log4cpp.pc)
    file(MAKE_DIRECTORY ${_borl1d_shim}/lib ${_borl1d_shim}/pkgconfig)
    file(CREATE_LINK ${_borl1d_log4cpp_so} ${_borl1d_shim}/lib/liblog4cpp.so SYMBOLIC)
    file(WRITE ${_borl1d_shim}/pkgconfig/log4cpp.pc
"libdir=${_borl1d_shim}/lib

Name: log4cpp
Description: log4cpp for ${BORL1D_CROSS_TRIPLET} (headers of the native -dev package)
Version: 1.1
Libs: -L\${libdir} -llog4cpp -lpthread
Cflags:
")
  endif()
  list(PREPEND _borl1d_pc_dirs ${_borl1d_shim}/pkgconfig)
endif()
string(REPLACE ";" ":" _borl1d_pc_libdir "${_borl1d_pc_dirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${_borl1d_pc_libdir}")
