# Host build: the driver on the simulated kernel and board, the tests, the
# benchmarks and the tools.
enable_testing()
find_package(GTest REQUIRED)
find_package(benchmark REQUIRED)
find_package(Threads REQUIRED)

# WCHAR is 16 bits on the target; the simulated kernel keeps that size so
# that strings, entry sizes and offsets come out as on the real machine.
add_compile_options(-Wall -Wextra -Werror -fshort-wchar)

# Any report of the sanitizers ends the process that made it with an error,
# so a test that provokes one fails.
option(TAMRIXSC_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(TAMRIXSC_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

add_subdirectory(messages)

add_library(simkernel STATIC
  platform/host/src/kernel.cpp
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
  platform/host/src/spinlock_exports.cpp
)
target_include_directories(simkernel PUBLIC platform/host/include)

add_library(driver_host STATIC ${DRIVER_SOURCES})
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
# Benchmarks measure the plain build; a sanitized one would only slow them.
if(NOT TAMRIXSC_SANITIZE)
  add_subdirectory(bench)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/tools/CMakeLists.txt)
  add_subdirectory(tools)
endif()

# The whole machine with the driver in it, and the board's script runner.
add_library(machine STATIC scsim/Machine.cpp)
target_include_directories(machine PUBLIC scsim)
target_link_libraries(machine PUBLIC driver_host board)
add_library(script STATIC scsim/Script.cpp)
target_link_libraries(script PUBLIC machine)
add_executable(scsim scsim/main.cpp)
target_link_libraries(scsim PRIVATE script)
