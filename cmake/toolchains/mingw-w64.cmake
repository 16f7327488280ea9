# Building for Windows with mingw-w64 GCC; included by the per-target files,
# which set MINGW_TRIPLE. The posix thread model gives std::thread and
# std::mutex; everything the compiler brings (libgcc, libstdc++, winpthread)
# is linked statically, so settingstore.dll and the executables need no MinGW
# DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

if(CMAKE_HOST_WIN32)
  # Native on Windows (MSYS2's mingw-w64 toolchain, for example): the compiler
  # and the libraries (expat, CLI11, xxHash) are the ones the shell has.
  set(CMAKE_C_COMPILER gcc)
  set(CMAKE_CXX_COMPILER g++)
  return()
endif()

# Cross-compiling on Debian.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

# What scripts/windows-deps builds for this target (expat) and the links to
# the Debian headers of the header-only libraries.
get_filename_component(SETTINGSTORE_WINDOWS_DEPS
  "${CMAKE_CURRENT_LIST_DIR}/../../build/windows-deps/${MINGW_TRIPLE}" ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE} ${SETTINGSTORE_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
