set(CMAKE_C_COMPILER ${RD_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RD_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${RD_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${RD_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Nothing but system DLLs may be needed on a clean Windows machine: the C++
# runtime, libgcc and winpthread are linked in statically.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
