# Cross build for the unit: Debian's armel port (ARMv5TE, soft float, EABI),
# tuned for the XScale core and kept in ARM state.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv5te)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv5te -mtune=xscale -marm")
set(CMAKE_CXX_FLAGS_INIT "-march=armv5te -mtune=xscale -marm")

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test binaries run on this machine under user-mode emulation.
set(QUILMAR_ARMEL_SYSROOT /usr/arm-linux-gnueabi)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${QUILMAR_ARMEL_SYSROOT})
