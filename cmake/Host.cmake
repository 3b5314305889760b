# Host build: the driver on the simulated kernel and board, the tests, the
# benchmarks and the tools.
#
# Built for 32-bit x86 (preset host32, cmake/linux-i386.cmake) the simulated
# kernel has the i386 calling conventions and structure layouts and can run
# the driver image itself; that build leaves out the benchmarks and the image
# tools, which the 64-bit build provides.
enable_testing()
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(TAMRIXSC_HOST32 ON)
else()
  set(TAMRIXSC_HOST32 OFF)
endif()

if(TAMRIXSC_HOST32)
  # Debian packages GoogleTest's library for the machine's own architecture
  # only; the 32-bit one is built from the sources it ships, before this
  # project's warning and character-width options apply.
  find_package(GTest CONFIG QUIET PATHS /usr/lib/i386-linux-gnu/cmake NO_DEFAULT_PATH)
  if(NOT GTest_FOUND)
    set(TAMRIXSC_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the 32-bit build")
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${TAMRIXSC_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    if(NOT TARGET GTest::gtest_main)
      add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
  endif()
else()
  find_package(GTest REQUIRED)
  find_package(benchmark REQUIRED)
endif()
find_package(Threads REQUIRED)

# The image built by the target preset, which the tests vet and run. Tests
# that need it are registered whether or not the file exists yet: a missing
# image fails them rather than skipping them.
set(TAMRIXSC_SYS "${CMAKE_SOURCE_DIR}/build/target/tamrixsc.sys"
    CACHE FILEPATH "Driver image that the image tests vet and run")
if(NOT EXISTS "${TAMRIXSC_SYS}")
  message(WARNING "${TAMRIXSC_SYS} does not exist: build the target preset first, or the image tests fail")
endif()

# WCHAR is 16 bits on the target; the simulated kernel keeps that size so
# that strings, entry sizes and offsets come out as on the real machine.
add_compile_options(-Wall -Wextra -Werror -fshort-wchar)

# The sanitized build: AddressSanitizer and UndefinedBehaviorSanitizer, any
# report of which ends the process that made it with an error, so that a
# test that provokes one fails. Built by clang, it is also the fuzzers'
# build (fuzz/): the same compiler and flags, so the simulated machine is
# compiled once for both. Every library the fuzzers search is instrumented
# for coverage; only the fuzzer programs get libFuzzer's main. The simulated
# buses' register accesses go through the board's virtual functions, where
# the check of polymorphic types (vptr) would weigh on every access of
# every fuzzer input; the driver has none, and the tests' own code keeps the
# check.
option(TAMRIXSC_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer (and the fuzzers)" OFF)
if(TAMRIXSC_SANITIZE)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TAMRIXSC_SANITIZE needs clang: configure with the host-sanitize preset")
  endif()
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fsanitize=fuzzer-no-link)
  set(TAMRIXSC_COVERAGE -fsanitize=fuzzer-no-link)
endif()

# What the fuzzers search is instrumented for coverage, in the sanitized
# build alone.
function(tamrixsc_fuzzed target)
  if(TAMRIXSC_SANITIZE AND TARGET ${target})
    target_compile_options(${target} PRIVATE ${TAMRIXSC_COVERAGE} -fno-sanitize=vptr)
  endif()
endfunction()

add_subdirectory(messages)

# The reader of the PE format: the kernel's loader and pecheck read images
# through it alone.
add_library(peformat STATIC pe/pe_image.cpp)
target_include_directories(peformat PUBLIC pe)

add_library(simkernel STATIC
  platform/host/src/kernel.cpp
  platform/host/src/bus.cpp
  platform/host/src/clock.cpp
  platform/host/src/hal.cpp
  platform/host/src/hal_bus.cpp
  platform/host/src/format.cpp
  platform/host/src/rtl.cpp
  platform/host/src/executive.cpp
  platform/host/src/executive_exports.cpp
  platform/host/src/dispatcher.cpp
  platform/host/src/ke_exports.cpp
  platform/host/src/iomanager.cpp
  platform/host/src/io_exports.cpp
  platform/host/src/se_exports.cpp
  platform/host/src/security.cpp
  platform/host/src/spinlock_exports.cpp
  platform/host/src/scheduler.cpp
  platform/host/src/routines.cpp
  platform/host/src/image.cpp
  platform/host/src/exports.cpp
)
target_include_directories(simkernel PUBLIC platform/host/include)
# The fuzzers look for the driver's paths, not the simulated kernel's: the
# kernel gets no coverage (the end of this file says what does).
target_link_libraries(simkernel PUBLIC Threads::Threads PRIVATE peformat)

add_library(driver_host STATIC ${DRIVER_SOURCES})
if(TAMRIXSC_HOST32)
  # The same layout numbers the image is built to.
  target_sources(driver_host PRIVATE ${DRIVER_LAYOUT_CHECK})
endif()
target_include_directories(driver_host PUBLIC driver include)
target_link_libraries(driver_host PUBLIC simkernel tamrixsc_messages)

add_library(board STATIC
  board/GpioBlock.cpp
  board/Controller.cpp
  board/Board.cpp
  board/EventView.cpp
  board/SuperIo.cpp
  board/Pci.cpp
)
target_include_directories(board PUBLIC board driver)
target_link_libraries(board PUBLIC simkernel catalogue)

add_subdirectory(tests)
if(TAMRIXSC_SANITIZE)
  add_subdirectory(fuzz)
endif()
# Benchmarks measure the plain 64-bit build; a sanitized one would only
# slow them, and the 32-bit build leaves them and the image tools out.
if(NOT TAMRIXSC_SANITIZE AND NOT TAMRIXSC_HOST32)
  add_subdirectory(bench)
endif()
if(NOT TAMRIXSC_HOST32)
  add_subdirectory(tools)
else()
  # scsim's scctl command runs the control tool in every build.
  add_subdirectory(tools/scctl)
endif()

# The whole machine with the driver in it, and the board's script runner.
add_library(machine STATIC scsim/Machine.cpp scsim/Vcd.cpp)
target_include_directories(machine PUBLIC scsim)
target_link_libraries(machine PUBLIC driver_host board)
add_library(script STATIC scsim/Script.cpp scsim/Scctl.cpp scsim/FaultCatalogue.cpp)
target_link_libraries(script PUBLIC machine scctl_core)
add_executable(scsim scsim/main.cpp)
target_link_libraries(scsim PRIVATE script)

foreach(searched driver_host board catalogue machine script scctl_core)
  tamrixsc_fuzzed(${searched})
endforeach()
if(TAMRIXSC_SANITIZE)
  # The board model keeps its edge coverage (which of its states an input
  # reached) but not the tracing of its comparisons: those compare what the
  # driver sent with what the model expects, values the driver's own traced
  # comparisons already hand the fuzzer, and on every register access they
  # cost the machine fuzzer a sixth of its speed.
  target_compile_options(board PRIVATE -fno-sanitize-coverage=trace-cmp)
  # The simulated wires: the buses, the clock, and the register, stall and
  # clock routines the driver calls at every look at the controller's
  # lines. No memory of the driver's passes through them (a port number or
  # an address in, a byte or a time out), so the sanitizers would only check
  # the simulator's own few fields, at a cost the fuzzers pay on every
  # access of every input. Everything that takes the driver's memory (the
  # debugger's formatting, the error log, the pool, strings, requests)
  # keeps both sanitizers.
  set_source_files_properties(platform/host/src/bus.cpp platform/host/src/clock.cpp platform/host/src/hal.cpp
                              TARGET_DIRECTORY simkernel PROPERTIES COMPILE_OPTIONS "-fno-sanitize=address,undefined")
endif()
