# The 32-bit x86 build of the simulated machine (preset host32): the host's
# own compiler with -m32 (g++-multilib), so that the simulated kernel has the
# i386 calling conventions and structure layouts of the real one and can run
# the driver image itself.
#
# An image keeps the stack only 4-byte aligned, as the i386 Windows ABI
# promises; code it calls must not assume the 16 bytes of the Linux ABI.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_C_FLAGS_INIT "-m32 -mincoming-stack-boundary=2")
set(CMAKE_CXX_FLAGS_INIT "-m32 -mincoming-stack-boundary=2")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
