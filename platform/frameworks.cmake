# The platform layer's frameworks. Each is declared in include/platform/<name>.h and implemented
# in common/<name>.cpp (what needs no platform), sim/<name>.cpp (the simulated phone) and
# ios/<name>.mm (the phone's own frameworks), as far as each exists: one list serves both builds.
set(TONEWELL_MONITOR_FRAMEWORKS
  av_foundation celestial cf_notification_center cf_preferences core_media core_motion dispatch
  ns_file_manager ns_log ns_object ns_operation_queue ns_string ns_url objc_runtime task_runner
  value)
# What only the Settings pane uses: the phone's build keeps it out of the monitor.
set(TONEWELL_UI_FRAMEWORKS message_ui ns_task preferences_framework ui_kit)

# tonewell_framework_sources(OUT platform extension frameworks...)
function(tonewell_framework_sources out platform extension)
  set(sources)
  foreach(framework ${ARGN})
    foreach(candidate common/${framework}.cpp ${platform}/${framework}${extension})
      if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${candidate})
        list(APPEND sources ${candidate})
      endif()
    endforeach()
  endforeach()
  set(${out} ${sources} PARENT_SCOPE)
endfunction()
