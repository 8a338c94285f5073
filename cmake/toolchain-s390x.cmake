# SPDX-License-Identifier: Apache-2.0
# Cross-compiling for s390x, a big-endian 64-bit CPU, with Debian's cross
# compiler (crossbuild-essential-s390x). No s390x libcups goes beside the
# host's, so this build takes only the parts without it
# (-DTARNWEL_CORE_ONLY=ON); GoogleTest is built from Debian's source
# package by the same compiler. The test programs run under qemu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-s390x-static;-L;/usr/s390x-linux-gnu)
