# Shared part of the MinGW-w64 cross toolchains (Debian's g++-mingw-w64-*-posix). The posix
# thread model gives std::thread and std::mutex; -static leaves the programs and DLLs importing
# only system DLLs (KERNEL32, msvcrt, USER32), so they run without MinGW's runtime DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QX470_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QX470_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QX470_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${QX470_MINGW_TRIPLE}-dlltool)
set(CMAKE_OBJDUMP ${QX470_MINGW_TRIPLE}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${QX470_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
# Tests run under Wine where it is installed.
find_program(QX470_WINE wine)
if(QX470_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QX470_WINE})
endif()
