# Builds the Linux helper that hosts ship with zig, against glibc 2.17, for
# x86_64 or aarch64, so that it runs on every desktop with that glibc or newer:
#
#   cmake -S . -B build-glibc217-amd64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/zig-linux.cmake \
#     -DCMAKE_SYSTEM_PROCESSOR=x86_64 -DQEN_ZIG=/path/to/zig -DQEN_ZIG_CACHE_DIR=/path/to/cache
#
# scripts/build-glibc217.sh does all of it. zig brings glibc 2.17's headers and
# link stubs and its own libc++ (linked statically). libevdev, libutf8proc,
# libxcb with libxcb-xinput, libXau and libXdmcp are Debian's archives for the
# target (libevdev-dev, libutf8proc-dev, libxcb1-dev, libxcb-xinput-dev, :arm64
# for aarch64): what the helper takes of them calls nothing newer than glibc
# 2.17 has. Of the build machine's headers only theirs and nlohmann's are seen,
# never glibc's.
set(CMAKE_SYSTEM_NAME Linux)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QEN_ZIG QEN_ZIG_CACHE_DIR CMAKE_SYSTEM_PROCESSOR)
foreach(required QEN_ZIG QEN_ZIG_CACHE_DIR CMAKE_SYSTEM_PROCESSOR)
  if(NOT ${required})
    message(FATAL_ERROR "zig-linux.cmake needs -D${required}=...")
  endif()
endforeach()
if(NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|aarch64)$")
  message(FATAL_ERROR "zig-linux.cmake builds x86_64 or aarch64, not ${CMAKE_SYSTEM_PROCESSOR}")
endif()
set(triplet ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)

include(${CMAKE_CURRENT_LIST_DIR}/zig-compilers.cmake)
qen_zig_compilers(${triplet} ${triplet}.2.17)

# The headers of the build machine that the helper needs, alone in a folder:
# /usr/include itself would bring glibc 2.36's.
set(host_headers ${QEN_ZIG_CACHE_DIR}/host-include)
file(MAKE_DIRECTORY ${host_headers})
file(CREATE_LINK /usr/include/nlohmann ${host_headers}/nlohmann SYMBOLIC)
file(CREATE_LINK /usr/include/utf8proc.h ${host_headers}/utf8proc.h SYMBOLIC)
# libxcb's and libXau's, the same for every architecture.
file(CREATE_LINK /usr/include/xcb ${host_headers}/xcb SYMBOLIC)
file(CREATE_LINK /usr/include/X11 ${host_headers}/X11 SYMBOLIC)
set(QEN_JSON_INCLUDE_DIR ${host_headers} CACHE PATH "")
set(CMAKE_C_FLAGS_INIT "-isystem ${host_headers}")
set(CMAKE_CXX_FLAGS_INIT "-isystem ${host_headers}")

# The target's archives, from multiarch's folder for it.
set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${triplet}/pkgconfig:/usr/share/pkgconfig")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
