# SPDX-License-Identifier: Apache-2.0
# Cross-compiling for arm64 with Debian's cross compiler
# (crossbuild-essential-arm64) against the arm64 libraries that Debian's
# multiarch installs beside the host's (libcups2-dev:arm64, ...). The test
# programs run under qemu's user-mode emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64-static)
