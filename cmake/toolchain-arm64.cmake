# Cross build for 64-bit ARM (Debian arm64: Raspberry Pi 3, 4, 5 and like boards).
# make ARCH=arm64 uses it; see toolchain-arm.cmake.
set(SENSOMARK_TRIPLET aarch64-linux-gnu)
set(SENSOMARK_PROCESSOR aarch64)
set(SENSOMARK_QEMU qemu-aarch64)
set(SENSOMARK_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-arm.cmake)
