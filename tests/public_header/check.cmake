# The public header in every dialect an application may be written in: C89
# (pedantic), C99, C++98 and C++17, with the host's compilers and with the
# Windows cross compilers, every warning an error. Inputs: CC, CXX,
# MINGW_CC, MINGW_CXX (compilers), INCLUDE (the header's folder), SOURCE
# (use.c).
set(failures "")
function(compile compiler language standard)
  execute_process(
    COMMAND ${compiler} -x ${language} -std=${standard} -pedantic-errors -Wall -Wextra -Werror -fsyntax-only
            -I ${INCLUDE} ${SOURCE}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    get_filename_component(name ${compiler} NAME)
    string(APPEND failures "${name} -std=${standard}:\n${out}\n")
    set(failures "${failures}" PARENT_SCOPE)
  endif()
endfunction()

foreach(pair IN ITEMS "${CC};${CXX}" "${MINGW_CC};${MINGW_CXX}")
  list(GET pair 0 c)
  list(GET pair 1 cxx)
  compile(${c} c c89)
  compile(${c} c c99)
  compile(${cxx} c++ c++98)
  compile(${cxx} c++ c++17)
endforeach()

if(failures)
  message(FATAL_ERROR "include/scioctl.h does not compile everywhere it must:\n${failures}")
endif()
