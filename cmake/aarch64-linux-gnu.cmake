# Cross-builds the Linux helper for arm64 with Debian's cross compiler
# (crossbuild-essential-arm64) against the arm64 -dev packages of multiarch
# (libevdev-dev:arm64, libutf8proc-dev:arm64, libxcb1-dev:arm64,
# libxcb-xinput-dev:arm64). scripts/build-release.sh arm64 uses it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# pkg-config reads the arm64 packages' .pc files, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
