# What both MinGW-w64 cross builds share; the including file sets MINGW_TRIPLET first.
set(CMAKE_SYSTEM_NAME Windows)
# The posix thread model (winpthreads, linked statically) gives the tool std::thread and
# std::mutex, which GCC 12 lacks in its win32 model; the DLL gains no import from it.
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
