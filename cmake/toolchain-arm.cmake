# Shared part of the cross toolchains of toolchain-arm64.cmake and toolchain-armhf.cmake:
# Debian's cross compilers (crossbuild-essential-<arch>) and the target's libraries from
# multiarch (the :<arch> -dev packages), each program and test run through qemu user
# emulation. The including file sets SENSOMARK_TRIPLET, SENSOMARK_PROCESSOR and
# SENSOMARK_QEMU first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${SENSOMARK_PROCESSOR})
set(CMAKE_C_COMPILER ${SENSOMARK_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${SENSOMARK_TRIPLET}-g++)
# Libraries, headers and CMake packages of the target come from the multiarch folders
# (/usr/lib/<triplet>); arch-independent ones (nlohmann-json) from /usr/share.
set(CMAKE_LIBRARY_ARCHITECTURE ${SENSOMARK_TRIPLET})
find_program(CMAKE_OBJCOPY ${SENSOMARK_TRIPLET}-objcopy)
find_program(CMAKE_STRIP ${SENSOMARK_TRIPLET}-strip)
# pkg-config reads the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${SENSOMARK_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
# ctest runs each test, and gtest_discover_tests lists them, through the emulator. The
# daemon and the tools that tests start as children run through binfmt_misc (qemu-user-
# static registers the interpreter). Both load the multiarch libraries (/lib/<triplet>,
# the target's libc6 that the :<arch> -dev packages bring, and libstdc++6:<arch>): no -L
# to the cross toolchain's own copy in /usr/<triplet>, whose loader mixed with the
# multiarch libstdc++ left a test spinning. Building the programs (make package) runs
# nothing of the target and needs no emulator; make test installs it before it builds.
find_program(SENSOMARK_QEMU_PROGRAM ${SENSOMARK_QEMU}-static ${SENSOMARK_QEMU})
if(SENSOMARK_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SENSOMARK_QEMU_PROGRAM})
endif()
# The Debian package's Architecture field (CPack would ask dpkg, which names the build machine).
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${SENSOMARK_DEB_ARCH})
