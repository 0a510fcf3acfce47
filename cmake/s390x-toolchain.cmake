# Cross-builds for s390x, a big-endian host, with Debian's cross compiler;
# the test programs run under qemu-user.
#
# The target's libraries (GoogleTest, tinyxml2, and with them the C and C++
# runtimes) come from Debian's s390x multiarch packages, installed in this
# host's own root: the emulator needs no prefix, and must not get the cross
# compiler's one, whose older loader would then pick up the multiarch C
# library from the loader cache and mix two versions.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)

find_program(QS_QEMU_S390X qemu-s390x REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QS_QEMU_S390X})
