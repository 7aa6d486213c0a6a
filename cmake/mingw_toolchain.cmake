# What both MinGW-w64 toolchains share; each sets tessel_mingw_triple and CMAKE_SYSTEM_PROCESSOR
# first. Posix threads, for std::thread; programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${tessel_mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${tessel_mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${tessel_mingw_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${tessel_mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Test programs run only inside the project's sandbox, under the project's Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-emulator.sh)
set(TESSEL_OBJDUMP ${tessel_mingw_triple}-objdump)
