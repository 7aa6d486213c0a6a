# 64-bit Windows with Debian's clang and lld, targeting x86_64-w64-windows-gnu on the MinGW-w64
# headers and import libraries. Debian has no LLVM C++ library for Windows, so the C++ library
# is MinGW-w64's libstdc++ (posix threads, as the kit is built), found through its GCC.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-windows-gnu)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)  # the kit lives outside the MinGW-w64 root

execute_process(COMMAND x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++.a
  OUTPUT_VARIABLE libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE found)
if(NOT found EQUAL 0 OR NOT IS_ABSOLUTE "${libstdcxx}")
  message(FATAL_ERROR "MinGW-w64's libstdc++ was not found (x86_64-w64-mingw32-g++-posix): "
    "apt-get install g++-mingw-w64-x86-64-posix")
endif()
get_filename_component(gcc_lib ${libstdcxx} DIRECTORY)
set(cxx_headers ${gcc_lib}/include/c++)
set(CMAKE_CXX_FLAGS_INIT
  "-isystem ${cxx_headers} -isystem ${cxx_headers}/x86_64-w64-mingw32 -isystem ${cxx_headers}/backward")
# libstdc++'s posix threads come from winpthread, which GCC's driver adds by itself.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -L${gcc_lib}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${gcc_lib}")
set(CMAKE_CXX_STANDARD_LIBRARIES "-lpthread" CACHE STRING "")
