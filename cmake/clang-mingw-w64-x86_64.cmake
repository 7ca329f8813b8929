# Cross build for 64-bit Windows with clang instead of GCC: the same target,
# MinGW-w64's headers, libraries and linker, and the MinGW g++'s C++ library,
# whose headers this clang does not find by itself.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_SYSROOT /usr/x86_64-w64-mingw32)

execute_process(COMMAND x86_64-w64-mingw32-g++-posix -print-libgcc-file-name
  OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
cmake_path(GET libgcc PARENT_PATH gcc)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
  ${gcc}/include/c++ ${gcc}/include/c++/x86_64-w64-mingw32 ${gcc}/include/c++/backward)
# The posix thread model of that library wants winpthread, which -pthread
# links in the same group as the runtime's own libraries.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${gcc} -pthread")
