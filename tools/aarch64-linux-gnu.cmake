# Cross-compiling the engine and its C++ tests for aarch64 Linux with Debian's
# g++-aarch64-linux-gnu; the tests then run under qemu-aarch64. Usage:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=tools/aarch64-linux-gnu.cmake \
#     -DKORDAL_BUILD_TESTS=ON -DKORDAL_BUILD_PYTHON=OFF -DKORDAL_GTEST_SOURCE=/usr/src/googletest
#   qemu-aarch64 -L /usr/aarch64-linux-gnu build-arm64/kordal_tests
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
