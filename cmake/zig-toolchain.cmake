# Release wheels: the module and the stand-in core built with Zig's clang
# against its own glibc 2.17 stubs, so that they load on any x86-64 Linux with
# glibc 2.17 or newer (manylinux2014), whatever glibc this machine has.
#   C_SDK_ZIG=/path/to/zig cmake --toolchain cmake/zig-toolchain.cmake ...
# The C++ runtime (libc++, libc++abi, libunwind) is linked in statically; the
# version scripts of the module and of the core keep its symbols local, so it
# neither reaches nor clashes with another extension's runtime in the process.
# The compiler wrapper (tools/zig/c++) also adds thin LTO.
# Same system and processor as the build machine, only an older C library:
# not a cross build for CMake, so find_package(Python) and try_run work as usual.
if(NOT DEFINED ENV{C_SDK_ZIG} OR NOT EXISTS "$ENV{C_SDK_ZIG}")
  message(FATAL_ERROR "C_SDK_ZIG must name the zig executable (the pinned ziglang package, `make tools`)")
endif()

get_filename_component(_c_sdk_zig_wrappers "${CMAKE_CURRENT_LIST_DIR}/../tools/zig" ABSOLUTE)
set(CMAKE_CXX_COMPILER "${_c_sdk_zig_wrappers}/c++")
set(CMAKE_AR "${_c_sdk_zig_wrappers}/ar" CACHE FILEPATH "zig ar")
set(CMAKE_RANLIB "${_c_sdk_zig_wrappers}/ranlib" CACHE FILEPATH "zig ranlib")

# Zig searches no folder of the build machine's C library, which is right for
# every header but one: Debian's multiarch Python headers include their
# pyconfig.h as <x86_64-linux-gnu/python3.X/pyconfig.h>. Only those folders
# are made visible, under that prefix, after all of Zig's own.
file(GLOB _c_sdk_multiarch_python LIST_DIRECTORIES true /usr/include/x86_64-linux-gnu/python3*)
if(_c_sdk_multiarch_python)
  set(_c_sdk_multiarch "${CMAKE_BINARY_DIR}/zig-multiarch")
  foreach(_dir IN LISTS _c_sdk_multiarch_python)
    get_filename_component(_name "${_dir}" NAME)
    file(MAKE_DIRECTORY "${_c_sdk_multiarch}/x86_64-linux-gnu")
    file(CREATE_LINK "${_dir}" "${_c_sdk_multiarch}/x86_64-linux-gnu/${_name}" SYMBOLIC)
  endforeach()
  string(APPEND CMAKE_CXX_FLAGS_INIT " -idirafter ${_c_sdk_multiarch}")
endif()
