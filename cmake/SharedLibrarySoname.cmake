# vorn_soname(<out-var> <library file> <fallback>)
# The soname of a shared library, the name the dynamic loader opens it by,
# read with objdump at configure time; <fallback> when it cannot be read.
# For libraries the project loads on first use instead of linking.
function(vorn_soname out library fallback)
  set(name ${fallback})
  if(CMAKE_OBJDUMP AND EXISTS "${library}")
    execute_process(COMMAND ${CMAKE_OBJDUMP} -p ${library} OUTPUT_VARIABLE dump ERROR_QUIET RESULT_VARIABLE rc)
    if(rc EQUAL 0 AND dump MATCHES "SONAME +([^ \t\r\n]+)")
      set(name ${CMAKE_MATCH_1})
    endif()
  endif()
  set(${out} ${name} PARENT_SCOPE)
endfunction()
