# The image check's processor rules: small driver images with one forbidden
# instruction each must be refused with the rule they break, and the same
# image without it must pass; and with the kernel's processor flags
# (CPU_FLAGS, cmake/KernelCpu.cmake) a floating-point expression must not
# build at all. Inputs: CXX (the cross compiler), OBJDUMP, CHECK
# (cmake/Target.cmake, whose script mode is the image check), CPU_FLAGS,
# WORK.
file(MAKE_DIRECTORY ${WORK})

set(failed FALSE)
function(check_case name body expected)
  set(source ${WORK}/${name}.cpp)
  set(image ${WORK}/${name}.sys)
  file(WRITE ${source} "
int g_value;
int* volatile g_pointer = &g_value;  // one address to relocate
extern \"C\" long __stdcall DriverEntry(void*, void*) {
  ${body}
  return 0;
}
")
  execute_process(
    COMMAND ${CXX} -O2 -ffreestanding -nostdlib -shared -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
            -Wl,--dynamicbase -Wl,-Map,${WORK}/${name}.map ${source} -o ${image}
    RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(SEND_ERROR "${name}: the test image does not build:\n${err}")
    set(failed TRUE PARENT_SCOPE)
    return()
  endif()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${OBJDUMP} -DIMAGE=${image} -DMAP=${WORK}/${name}.map -P ${CHECK}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(expected STREQUAL "")
    if(NOT rc EQUAL 0)
      message(SEND_ERROR "${name}: a clean image was refused:\n${out}")
      set(failed TRUE PARENT_SCOPE)
    endif()
  elseif(rc EQUAL 0 OR NOT out MATCHES "${expected}")
    message(SEND_ERROR "${name}: expected a refusal naming '${expected}', got status ${rc}:\n${out}")
    set(failed TRUE PARENT_SCOPE)
  endif()
endfunction()

check_case(clean "__asm__ volatile(\"pause\");" "")
check_case(x87 "__asm__ volatile(\"fninit\");" "x87, MMX or SSE instruction at 0x[0-9a-f]+: fninit")
check_case(x87_store "__asm__ volatile(\"fnstcw (%esp)\");" "x87, MMX or SSE instruction")
check_case(mmx "__asm__ volatile(\"movd %mm0, %eax\");" "x87, MMX or SSE instruction.*%mm0")
check_case(mmx_state "__asm__ volatile(\"emms\");" "x87, MMX or SSE instruction.*emms")
check_case(sse "__asm__ volatile(\"xorps %xmm1, %xmm1\");" "x87, MMX or SSE instruction.*%xmm1")
check_case(sse_control "__asm__ volatile(\"stmxcsr (%esp)\");" "x87, MMX or SSE instruction.*stmxcsr")
check_case(fs "__asm__ volatile(\"movl %fs:0x124, %eax\");" "fs:/gs: segment override.*%fs:0x124")
check_case(gs "__asm__ volatile(\"movl %gs:0, %eax\");" "fs:/gs: segment override.*%gs:")

separate_arguments(cpu_flags UNIX_COMMAND "${CPU_FLAGS}")
file(WRITE ${WORK}/float.cpp "
extern \"C\" long __stdcall DriverEntry(void* a, void*) {
  volatile float scale = 1.5f;
  return static_cast<long>(reinterpret_cast<unsigned long>(a) * scale);
}
")
execute_process(
  COMMAND ${CXX} -O2 -ffreestanding ${cpu_flags} -nostdlib -shared -Wl,--entry,_DriverEntry@8 ${WORK}/float.cpp
          -o ${WORK}/float.sys -lgcc
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(rc EQUAL 0 OR NOT cpu_flags MATCHES "-mno-80387")
  message(SEND_ERROR "float: a floating-point expression built with the kernel's processor flags")
  set(failed TRUE)
endif()

if(failed)
  message(FATAL_ERROR "image processor rules: failed")
endif()
