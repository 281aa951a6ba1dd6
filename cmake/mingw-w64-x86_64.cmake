# Cross compiles for 64-bit Windows with Debian's MinGW-w64 compilers. The posix flavour is the
# one whose libstdc++ has std::thread and friends; the top CMakeLists links it all statically,
# so the .exe needs no MinGW DLLs next to it.
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_prefix x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER ${mingw_prefix}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER ${mingw_prefix}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER ${mingw_prefix}-windres)

# Headers and libraries come from the MinGW sysroot only, never from the Linux host.
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The unit tests need a GoogleTest built for Windows, which Debian does not ship, so this build
# leaves them out (HOSTS_REQUIRE_TESTS stays off); the Linux test build runs this program under
# Wine instead (tests/windows).

# Lets `ctest` in the cross build run the programs it made through Wine, where it is installed.
find_program(mingw_wine NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(mingw_wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${mingw_wine})
endif()
