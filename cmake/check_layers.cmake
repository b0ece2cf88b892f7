# cmake -DNM=<nm> -DLIBRARIES="<top library file>|...|<bottom library file>" -P check_layers.cmake
# Proves the subsystem libraries form layers: every symbol a library needs from the others is
# defined in a library below it, so there is no call upward and no cycle.
function(strong_definitions out file)
  execute_process(COMMAND ${NM} -g --defined-only ${file} OUTPUT_VARIABLE text
                  COMMAND_ERROR_IS_FATAL ANY)
  # Inline functions and template instances (weak, W/V) are defined wherever they are used.
  string(REGEX MATCHALL "[^\n]* [TDBR] [^\n]+" lines "${text}")
  list(TRANSFORM lines REPLACE "^.* [TDBR] " "")
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

function(undefined_symbols out file)
  execute_process(COMMAND ${NM} -u ${file} OUTPUT_VARIABLE text COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "U [^\n]+" lines "${text}")
  list(TRANSFORM lines REPLACE "^U " "")
  list(REMOVE_DUPLICATES lines)
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

set(above "")        # symbols defined by the libraries above the one being checked
set(aboveOwner "")   # the library defining each of them, in the same order
set(failures 0)
string(REPLACE "|" ";" LIBRARIES "${LIBRARIES}")
foreach(library IN LISTS LIBRARIES)
  get_filename_component(name ${library} NAME_WE)
  undefined_symbols(needed ${library})
  set(before ${failures})
  foreach(symbol IN LISTS needed)
    list(FIND above "${symbol}" index)
    if(index GREATER_EQUAL 0)
      list(GET aboveOwner ${index} owner)
      message("${name} uses ${symbol} from ${owner}, which lies above it")
      math(EXPR failures "${failures} + 1")
    endif()
  endforeach()
  strong_definitions(defined ${library})
  foreach(symbol IN LISTS defined)
    list(APPEND above "${symbol}")
    list(APPEND aboveOwner ${name})
  endforeach()
  if(failures EQUAL before)
    message("${name}: no call upward")
  endif()
endforeach()
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} references go upward")
endif()
