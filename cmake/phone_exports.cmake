# What a phone binary exports, taken from the project's .def table that lists it, and given to
# the linker as an exported-symbols list, so that every slice exports the same names whatever
# its linker makes of weak definitions: the 32-bit slices' libc++ typeinfo (bad_function_call,
# std::function's base) is visible in the objects, and lld 13 would export it.

# tonewell_export_only(TARGET TABLE file.def KINDS kind... [EXTRA symbol...] [OBJC_CLASSES])
#   Exports the first argument of every line of the KINDS in TABLE, as a C symbol (_name) or,
#   with OBJC_CLASSES, as an Objective-C class and its metaclass; and the EXTRA symbols.
function(tonewell_export_only target)
  cmake_parse_arguments(ARG "OBJC_CLASSES" "TABLE" "KINDS;EXTRA" ${ARGN})
  get_filename_component(table ${ARG_TABLE} ABSOLUTE)
  file(STRINGS ${table} lines)
  list(JOIN ARG_KINDS "|" kinds)
  set(symbols ${ARG_EXTRA})
  foreach(line IN LISTS lines)
    if(line MATCHES "^(${kinds})\\( *([A-Za-z_][A-Za-z0-9_]*)")
      if(ARG_OBJC_CLASSES)
        list(APPEND symbols "_OBJC_CLASS_$_${CMAKE_MATCH_2}" "_OBJC_METACLASS_$_${CMAKE_MATCH_2}")
      else()
        list(APPEND symbols "_${CMAKE_MATCH_2}")
      endif()
    endif()
  endforeach()
  list(JOIN symbols "\n" text)
  set(list_file ${CMAKE_CURRENT_BINARY_DIR}/${target}.exports)
  file(CONFIGURE OUTPUT ${list_file} CONTENT "${text}\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${table})
  target_link_options(${target} PRIVATE "LINKER:-exported_symbols_list,${list_file}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${list_file})
endfunction()
