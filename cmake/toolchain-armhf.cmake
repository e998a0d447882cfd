# Cross build for 32-bit ARM with hardware floating point (Debian armhf: older
# Raspberry Pi boards, Raspberry Pi OS 32-bit). make ARCH=armhf uses it; see toolchain-arm.cmake.
set(SENSOMARK_TRIPLET arm-linux-gnueabihf)
set(SENSOMARK_PROCESSOR arm)
set(SENSOMARK_QEMU qemu-arm)
set(SENSOMARK_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-arm.cmake)
