# Cross-compiles the Windows x64 build on Linux with mingw-w64.
# The -posix compilers are needed for std::thread; -static keeps libstdc++,
# libgcc and winpthread out of the import table.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Lets CTest (and anything using the emulator) run the built programs under Wine.
find_program(WINE_PROGRAM NAMES wine wine64)
if(WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
endif()
