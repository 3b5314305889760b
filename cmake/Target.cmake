# Target build: the kernel image tamrixsc.sys for the 32-bit x86 NT kernel,
# built with mingw-w64 (cmake/mingw-i686.cmake).
#
# The same file runs in script mode (cmake -P) as the image check after each
# link; that part comes first and returns before the build description.

if(CMAKE_SCRIPT_MODE_FILE)
  # Inputs: OBJDUMP, IMAGE, MAP.
  #
  # The kernel resolves imports of the image only against ntoskrnl.exe and
  # HAL.dll, runs no constructors and processes base relocations: an image
  # that needs a runtime, a third module or a fixed load address would fail
  # to load or misbehave once loaded.
  execute_process(COMMAND ${OBJDUMP} -p -h ${IMAGE}
                  OUTPUT_VARIABLE dump ERROR_VARIABLE dump_err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${IMAGE}: objdump failed: ${dump_err}")
  endif()
  set(problems "")

  string(REGEX MATCHALL "DLL Name: [^\n]+" dll_lines "${dump}")
  foreach(line IN LISTS dll_lines)
    string(REGEX REPLACE "DLL Name: ([^\n]+)" "\\1" dll "${line}")
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" dll_lower)
    if(NOT dll_lower STREQUAL "ntoskrnl.exe" AND NOT dll_lower STREQUAL "hal.dll")
      string(APPEND problems "  imports from ${dll}; only ntoskrnl.exe and HAL.dll exist for a driver\n")
    endif()
  endforeach()

  # Section table lines: index, name, size, VMA, LMA, file offset, alignment.
  string(REGEX MATCHALL "\n +[0-9]+ [.][^ \n]+ +[0-9a-f]+" section_lines "${dump}")
  set(have_reloc FALSE)
  foreach(line IN LISTS section_lines)
    string(REGEX REPLACE "\n +[0-9]+ ([.][^ ]+) +([0-9a-f]+)" "\\1;\\2" fields "${line}")
    list(GET fields 0 name)
    list(GET fields 1 size)
    if(name STREQUAL ".reloc" AND NOT size MATCHES "^0+$")
      set(have_reloc TRUE)
    endif()
    if(name MATCHES "^[.](ctors|dtors|init_array|fini_array|tls|CRT)")
      string(APPEND problems "  section ${name}: the kernel runs no image initialisers\n")
    endif()
  endforeach()
  if(NOT have_reloc)
    string(APPEND problems "  no .reloc section: the image could load only at its preferred base\n")
  endif()

  # The linker folds .ctors input into .text between __CTOR_LIST__ and
  # __DTOR_LIST__; its map names every object that contributed an entry.
  file(STRINGS ${MAP} map_lines REGEX "^ [.](ctors|dtors|init_array|fini_array)")
  foreach(line IN LISTS map_lines)
    if(line MATCHES "^ ([.][^ ]+) +0x[0-9a-f]+ +0x([0-9a-f]+) +(.+)$")
      set(section ${CMAKE_MATCH_1})
      set(size ${CMAKE_MATCH_2})
      set(object ${CMAKE_MATCH_3})
      if(NOT size MATCHES "^0+$")
        string(APPEND problems "  ${section} in ${object}: a global object with a constructor or destructor\n")
      endif()
    endif()
  endforeach()

  # Kernel code on x86 may not touch the x87, MMX or SSE state, which the
  # kernel does not save for a driver (only KeSaveFloatingPointState would),
  # and fs: holds the processor's control region, which only the kernel's
  # own code may address; gs: has no meaning in the x86 kernel at all. The
  # simulated machine that runs the image gives it neither. Code sections
  # are read instruction by instruction.
  execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${IMAGE}
                  OUTPUT_VARIABLE code ERROR_VARIABLE code_err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${IMAGE}: objdump -d failed: ${code_err}")
  endif()
  string(REGEX MATCHALL "\n *[0-9a-f]+:\t[^\n]*" instructions "${code}")
  set(vector_ops "emms|femms|ldmxcsr|stmxcsr|movnti|sfence|lfence|mfence|maskmovq|prefetch[a-z0-9]*|clflush")
  set(found 0)
  foreach(line IN LISTS instructions)
    string(REGEX REPLACE "^\n *([0-9a-f]+):\t *" "0x\\1: " line "${line}")
    set(what "")
    if(line MATCHES "^0x[0-9a-f]+: (f[a-z0-9]*|${vector_ops})( |$)" OR line MATCHES "%[xyz]?mm[0-9]")
      set(what "an x87, MMX or SSE instruction")
    elseif(line MATCHES "%[fg]s:" OR line MATCHES "^0x[0-9a-f]+: [fg]s( |$)")
      set(what "an fs:/gs: segment override")
    endif()
    if(what)
      math(EXPR found "${found} + 1")
      if(found LESS_EQUAL 10)
        string(STRIP "${line}" line)
        string(APPEND problems "  ${what} at ${line}\n")
      endif()
    endif()
  endforeach()
  if(found GREATER 10)
    string(APPEND problems "  and ${found} such instructions in all\n")
  endif()

  if(problems)
    file(REMOVE ${IMAGE})
    message(FATAL_ERROR "${IMAGE} is not a loadable driver image:\n${problems}")
  endif()
  return()
endif()

if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Release CACHE STRING "Build type" FORCE)
endif()
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG")

# The kernel headers live in the ddk folder of the cross compiler's own
# include directory.
find_path(TAMRIXSC_DDK_INCLUDE ntddk.h
  PATHS ${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES}
  PATH_SUFFIXES ddk
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT TAMRIXSC_DDK_INCLUDE)
  message(FATAL_ERROR "ntddk.h not found below ${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES}; "
                      "install mingw-w64-i686-dev")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/Version.cmake)

# The control tool links as an ordinary console program; it is declared
# before the driver's own link rule below replaces the usual one.
add_subdirectory(${CMAKE_SOURCE_DIR}/tools/scctl ${CMAKE_BINARY_DIR}/scctl)

# The HAL for Wine, which runs the image and scctl.exe under Wine (wine/).
add_subdirectory(${CMAKE_SOURCE_DIR}/wine ${CMAKE_BINARY_DIR}/wine)

# The sample application (examples/sample): C89 against the Win32 API and
# the public header alone, as an application developer starts from it.
enable_language(C)
add_executable(scsample ${CMAKE_SOURCE_DIR}/examples/sample/scsample.c)
set_target_properties(scsample PROPERTIES
  C_STANDARD 90
  C_EXTENSIONS OFF
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
)
target_include_directories(scsample PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_compile_options(scsample PRIVATE -Wall -Wextra -Werror -pedantic)
target_link_options(scsample PRIVATE -static-libgcc -s -Wl,--subsystem,console -Wl,--no-insert-timestamp)

find_program(TAMRIXSC_OBJDUMP NAMES ${TAMRIXSC_MINGW_OBJDUMP} i686-w64-mingw32-objdump REQUIRED)

add_executable(tamrixsc
  ${DRIVER_SOURCES}
  ${DRIVER_LAYOUT_CHECK}
)
set_target_properties(tamrixsc PROPERTIES
  OUTPUT_NAME tamrixsc
  SUFFIX .sys
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
)
target_include_directories(tamrixsc PRIVATE
  driver
  include
  platform/target
)
# The kernel headers are held to their own standard, not to -Werror.
target_include_directories(tamrixsc SYSTEM PRIVATE ${TAMRIXSC_DDK_INCLUDE})

# Message table: compiled from the catalogue into the image's resources.
add_subdirectory(${CMAKE_SOURCE_DIR}/messages ${CMAKE_BINARY_DIR}/messages)
target_link_libraries(tamrixsc PRIVATE tamrixsc_messages tamrixsc_msgres)
# Beside it, the version resource the file's properties and driver listings
# show.
tamrixsc_version_resource(tamrixsc tamrixsc.sys 0x3 0x7 "TAMRIXSC 8051 System Controller driver")

# Windows Server 2003 with Service Pack 1 is the oldest kernel the driver
# is built for: the headers then declare only routines that kernel
# exports. The poll and the start-I/O routine take the link with
# KeTryToAcquireSpinLockAtDpcLevel, which the kernel documents from that
# release on; unload needs KeFlushQueuedDpcs, which came earlier.
target_compile_definitions(tamrixsc PRIVATE
  _X86_
  NTDDI_VERSION=0x05020100
  _WIN32_WINNT=0x0502
  WINVER=0x0502
)

# Kernel code: no exceptions, RTTI, runtime, guard variables, unwind tables
# or stack cookies, none of which the kernel provides; no stack probes, the
# kernel stack being resident; no floating-point or vector registers
# (cmake/KernelCpu.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/KernelCpu.cmake)
target_compile_options(tamrixsc PRIVATE
  -Wall -Wextra -Werror
  -ffreestanding
  -fno-exceptions
  -fno-rtti
  -fno-threadsafe-statics
  -fno-asynchronous-unwind-tables
  -fno-unwind-tables
  -fno-stack-protector
  -fno-ident
  -mno-stack-arg-probe
  ${TAMRIXSC_KERNEL_CPU_FLAGS}
)

# The link is spelled out in full: the platform's usual rule adds Win32
# import libraries and an import library of the image itself, neither of
# which a driver has.
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

set(TAMRIXSC_MAP ${CMAKE_BINARY_DIR}/tamrixsc.map)
target_link_options(tamrixsc PRIVATE
  -nostdlib
  -shared
  -Wl,--subsystem,native
  -Wl,--entry,_DriverEntry@8
  -Wl,--image-base,0x10000
  -Wl,--section-alignment,0x1000
  -Wl,--file-alignment,0x200
  -Wl,--major-os-version,5 -Wl,--minor-os-version,2
  -Wl,--major-subsystem-version,5 -Wl,--minor-subsystem-version,2
  -Wl,--dynamicbase
  -Wl,--nxcompat
  # Nothing is exported; without this a -shared link exports every symbol.
  -Wl,--exclude-all-symbols
  # Pseudo relocations need a runtime to apply them: a data import must
  # fail the link instead.
  -Wl,--disable-auto-import
  -Wl,--disable-runtime-pseudo-reloc
  -Wl,--strip-all
  # The same sources give the same bytes: no link time in the header, so
  # that anyone can check that an installed image is the one tested.
  -Wl,--no-insert-timestamp
  -Wl,-Map,${TAMRIXSC_MAP}
)
target_link_libraries(tamrixsc PRIVATE ntoskrnl hal gcc)

add_custom_command(TARGET tamrixsc POST_BUILD
  COMMAND ${CMAKE_COMMAND}
          -DOBJDUMP=${TAMRIXSC_OBJDUMP}
          -DIMAGE=$<TARGET_FILE:tamrixsc>
          -DMAP=${TAMRIXSC_MAP}
          -P ${CMAKE_CURRENT_LIST_FILE}
  VERBATIM
)
