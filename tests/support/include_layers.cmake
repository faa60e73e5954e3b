# Asks the build's C++ compiler, with a library's own include path, whether it finds a header of
# the library's own layer (it must) and one from a layer above or beside it (it must not). Each row
# is a file in ROWS setting library, dirs, own and above; COMPILER is the compiler, WORK a folder
# for the sources. __has_include looks the header up as #include would, without reading it.
file(GLOB rows ${ROWS}/*.cmake)
list(SORT rows)
if(NOT rows)
  message(FATAL_ERROR "no rows in ${ROWS}")
endif()
file(MAKE_DIRECTORY ${WORK})

foreach(row IN LISTS rows)
  include(${row})
  set(source ${WORK}/${library}.cpp)
  file(WRITE ${source} "#if !__has_include(\"${own}\")
#error ${library} cannot include its own ${own}
#endif
#if __has_include(\"${above}\")
#error ${library} can include ${above}, which is above or beside it
#endif
")
  set(flags)
  foreach(dir IN LISTS dirs)
    list(APPEND flags -I${dir})
  endforeach()
  execute_process(COMMAND ${COMPILER} -std=c++20 -E ${flags} ${source} -o ${WORK}/${library}.ii
                  RESULT_VARIABLE code ERROR_VARIABLE errors OUTPUT_QUIET)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "${errors}")
  endif()
  message(STATUS "${library}: ${own} found, ${above} not found")
endforeach()
