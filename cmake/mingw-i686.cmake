# Cross toolchain for the kernel image: Debian's mingw-w64 for 32-bit x86
# Windows. The image links no C or C++ runtime, so either thread model of the
# compiler serves; the win32 one is preferred because it pulls in nothing.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(_tamrixsc_triplet i686-w64-mingw32)

find_program(TAMRIXSC_MINGW_CXX NAMES ${_tamrixsc_triplet}-g++-win32 ${_tamrixsc_triplet}-g++ REQUIRED)
find_program(TAMRIXSC_MINGW_CC NAMES ${_tamrixsc_triplet}-gcc-win32 ${_tamrixsc_triplet}-gcc)
find_program(TAMRIXSC_MINGW_WINDRES NAMES ${_tamrixsc_triplet}-windres)
find_program(TAMRIXSC_MINGW_WINDMC NAMES ${_tamrixsc_triplet}-windmc)
find_program(TAMRIXSC_MINGW_OBJDUMP NAMES ${_tamrixsc_triplet}-objdump REQUIRED)

set(CMAKE_CXX_COMPILER ${TAMRIXSC_MINGW_CXX})
if(TAMRIXSC_MINGW_CC)
  set(CMAKE_C_COMPILER ${TAMRIXSC_MINGW_CC})
endif()
if(TAMRIXSC_MINGW_WINDRES)
  set(CMAKE_RC_COMPILER ${TAMRIXSC_MINGW_WINDRES})
endif()

# Headers and libraries come from the cross sysroot only; programs (windmc,
# objdump) run on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${_tamrixsc_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
