# The 64-bit ARM edition, cross-built on Debian with its cross toolchain
# (g++-aarch64-linux-gnu) against the arm64 libraries installed through multiarch
# (/usr/lib/aarch64-linux-gnu, headers under /usr/include). The programs it builds run here
# under qemu-user: the tests through CMake's emulator, and the programs they start (the
# host, middleman, Debian's arm64 tools) through the kernel's binfmt entry for aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The whole system is the sysroot: multiarch keeps each architecture's libraries apart.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
