# Writes OUT, the catalogue's symbolic names by identifier, from IN, the
# header windmc made of the message-compiler source:
#   #define MSG_DRIVER_STARTED (NTSTATUS) 0x6007832c
# becomes
#   {0x6007832c, "MSG_DRIVER_STARTED"},
file(STRINGS ${IN} lines REGEX "^#define MSG_[A-Z0-9_]+ ")
set(text "")
foreach(line IN LISTS lines)
  if(line MATCHES "^#define (MSG_[A-Z0-9_]+) .*(0x[0-9a-fA-F]+)")
    string(APPEND text "{${CMAKE_MATCH_2}, \"${CMAKE_MATCH_1}\"},\n")
  endif()
endforeach()
if(text STREQUAL "")
  message(FATAL_ERROR "${IN} names no message")
endif()
file(WRITE ${OUT} "${text}")
