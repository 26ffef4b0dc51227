# Cross-build for 64-bit Windows with Debian's mingw-w64 (the posix thread
# model, which std::thread and std::mutex need). Programs and tests run on
# Linux through Wine when CMAKE_CROSSCOMPILING_EMULATOR finds it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_lumavix_triplet x86_64-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${_lumavix_triplet}-g++-posix REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${_lumavix_triplet}-gcc-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${_lumavix_triplet}-windres)

# Libraries and packages come from the mingw root only (zlib for the tests);
# header-only libraries shared with the Linux build are placed by the
# project itself, never through /usr/include.
set(CMAKE_FIND_ROOT_PATH /usr/${_lumavix_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A program that runs with no DLL beside it: the C++ runtime, libgcc and
# winpthread are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Through wine-run.sh, which repeats a run only when Wine's own loader failed
# as the process ended (the program's status is then lost).
find_program(LUMAVIX_WINE NAMES wine wine64)
if(LUMAVIX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_CURRENT_LIST_DIR}/../packaging/windows/wine-run.sh ${LUMAVIX_WINE})
endif()
