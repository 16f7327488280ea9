# Cross-compiling for Windows with Debian's mingw-w64 toolchain; included by
# the per-target files, which set MINGW_TRIPLE. The posix thread model gives
# std::thread and std::mutex; everything the compiler brings (libgcc,
# libstdc++, winpthread) is linked statically, so settingstore.dll and the
# executables need no MinGW DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

# What scripts/windows-deps builds for this target (expat) and the
# header-only libraries it links from Debian's headers.
get_filename_component(SETTINGSTORE_WINDOWS_DEPS
  "${CMAKE_CURRENT_LIST_DIR}/../../build/windows-deps/${MINGW_TRIPLE}" ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE} ${SETTINGSTORE_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
