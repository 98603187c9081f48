# Signs a phone binary right after it is linked, replacing the linker's SHA-256-only signature
# with one every system's kernel accepts (scripts/adhoc_sign.py).
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# tonewell_sign_after_link(TARGET IDENTIFIER id | INFO_PLIST path)
function(tonewell_sign_after_link target)
  cmake_parse_arguments(ARG "" "IDENTIFIER;INFO_PLIST" "" ${ARGN})
  set(options)
  if(ARG_INFO_PLIST)
    list(APPEND options --info-plist ${ARG_INFO_PLIST})
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/scripts/adhoc_sign.py
      $<TARGET_FILE:${target}> ${ARG_IDENTIFIER} ${options}
    COMMENT "Signing ${target} ad hoc (SHA-1 and SHA-256 code directories)"
    VERBATIM)
endfunction()
