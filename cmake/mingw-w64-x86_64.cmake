# Cross-builds the Windows program with MinGW-w64 (Debian: g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build/win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QB_MINGW_PREFIX x86_64-w64-mingw32)
# The -posix variant: the -win32 one has no std::thread, which GoogleTest and future code may use.
set(CMAKE_C_COMPILER ${QB_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QB_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QB_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QB_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# GCC 12 reports -Wrestrict falsely on ordinary std::string concatenation when it inlines at -O2
# and above (GCC bug 105329); with -Werror that would stop the build over code that is correct.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")

# A static runtime, so the .exe runs where no MinGW DLLs (libstdc++, libgcc, winpthread) are; no
# link time in the header, so the same sources give the same .exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp")

# Lets ctest and test discovery run the .exe files through wine when it is installed; the build
# itself never runs them.
find_program(QB_WINE_EXECUTABLE NAMES wine wine64)
if(QB_WINE_EXECUTABLE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QB_WINE_EXECUTABLE})
endif()
