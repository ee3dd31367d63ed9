# Fails when a function that returns the coroutine task type (`Async<...>`)
# takes a parameter by reference or as a view: a task may be kept, or raced
# against a time limit, after the expression that made it, and its frame
# would then point at arguments that are gone. Coroutines take their inputs
# by value.
#
#   cmake -DSOURCES="file;dir;..." -P coroutine_parameters.cmake
# A directory stands for every .hpp and .cpp file in it.
cmake_minimum_required(VERSION 3.25)

set(files "")
foreach(source IN LISTS SOURCES)
  if(IS_DIRECTORY "${source}")
    file(GLOB found "${source}/*.hpp" "${source}/*.cpp")
    list(APPEND files ${found})
  else()
    list(APPEND files "${source}")
  endif()
endforeach()
list(LENGTH files count)
if(count EQUAL 0)
  message(FATAL_ERROR "no sources to look at in: ${SOURCES}")
endif()

# The task type, a name, then the parameters (which may hold one level of
# parentheses, as a function pointer does).
set(space "[ \t\r\n]*")
set(signature "Async<[^;{}()]*>${space}[A-Za-z_~][A-Za-z0-9_:]*${space}\\(([^()]|\\([^()]*\\))*\\)")
set(faults 0)
set(seen 0)
foreach(file IN LISTS files)
  file(READ "${file}" text)
  # Comments may speak of references; code is what counts.
  string(REGEX REPLACE "//[^\n]*" "" text "${text}")
  string(REGEX MATCHALL "${signature}" matches "${text}")
  foreach(match IN LISTS matches)
    math(EXPR seen "${seen} + 1")
    string(REGEX REPLACE "^Async<[^;{}()]*>${space}([A-Za-z_~][A-Za-z0-9_:]*).*" "\\1" name "${match}")
    string(FIND "${match}" "(" open)
    string(SUBSTRING "${match}" ${open} -1 parameters)
    if(parameters MATCHES "&|string_view|span<")
      string(REGEX REPLACE "[ \t\r\n]+" " " parameters "${parameters}")
      message("${file}: coroutine ${name} takes a parameter by reference or as a view: ${parameters}")
      math(EXPR faults "${faults} + 1")
    endif()
  endforeach()
endforeach()

if(faults GREATER 0)
  message(FATAL_ERROR "${faults} coroutine(s) take parameters by reference or as views; take them by value")
endif()
if(seen EQUAL 0)
  message(FATAL_ERROR "no coroutine signature found in ${count} file(s): the pattern no longer fits the code")
endif()
message("${seen} coroutine signatures in ${count} files take their parameters by value")
