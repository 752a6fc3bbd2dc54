# Cross-build for 32-bit ARM hard-float with Debian's toolchain and the
# target's multiarch libraries; tests run under qemu-user. The loader and
# libc must both come from the target's glibc, else every thread start crashes.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# KARVIK_TEST_EMULATOR tells the tests what runs them, for those the emulator cannot run.
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-arm -L /usr/arm-linux-gnueabihf -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib
    -E KARVIK_TEST_EMULATOR=qemu-arm)
