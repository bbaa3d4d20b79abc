# Cross build for 64-bit ARM Linux with Debian's cross compiler and the arm64 multiarch
# libraries (Qt, GoogleTest) installed into / next to the native ones. moc and rcc stay the
# native tools from qtbase5-dev-tools; Qt's arm64 CMake files already point at them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(UR_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${UR_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${UR_CROSS_TRIPLE}-g++)
set(CMAKE_AR ${UR_CROSS_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${UR_CROSS_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${UR_CROSS_TRIPLE}-strip CACHE FILEPATH "")

# Multiarch: packages are looked up under /usr/lib/aarch64-linux-gnu, never under the
# build machine's /usr/lib/x86_64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${UR_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/${UR_CROSS_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)

# Test programs (and gtest_discover_tests) run under user-mode qemu. Its loader and the
# arm64 libraries are those of the multiarch packages in /, so / is qemu's prefix.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(UR_QEMU_AARCH64 qemu-aarch64 qemu-aarch64-static)
  if(UR_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${UR_QEMU_AARCH64} -L /)
  endif()
endif()
