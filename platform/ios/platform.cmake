# The platform layer on the phone: Objective-C++ over the phone's frameworks, as two static
# libraries so that the monitor, loaded into SpringBoard, never brings in the UI frameworks.
set(TONEWELL_PRIVATE_FRAMEWORKS ${CMAKE_OSX_SYSROOT}/System/Library/PrivateFrameworks)

add_library(tonewell_platform STATIC
  common/core_media.cpp
  common/dispatch.cpp
  common/durations.cpp
  common/log_format.cpp
  common/ns_object.cpp
  common/ns_string.cpp
  common/ns_url.cpp
  common/value.cpp
  ios/av_capture.mm
  ios/celestial.mm
  ios/cf_preferences.mm
  ios/core_motion.mm
  ios/notification_center.mm
  ios/ns_file_manager.mm
  ios/ns_log.mm
  ios/objc_runtime.mm
  ios/task_runners.mm
  ios/values.mm
)
add_library(Tonewell::platform ALIAS tonewell_platform)
target_include_directories(tonewell_platform
  PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR}/ios/include
  PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/common ${CMAKE_CURRENT_SOURCE_DIR}/ios)
target_compile_options(tonewell_platform PUBLIC $<$<COMPILE_LANGUAGE:OBJCXX>:-fobjc-arc>)
target_link_options(tonewell_platform INTERFACE -F${TONEWELL_PRIVATE_FRAMEWORKS})
target_link_libraries(tonewell_platform INTERFACE
  "-framework Foundation" "-framework CoreFoundation" "-framework AVFoundation"
  "-framework CoreMedia" "-framework CoreMotion" "-framework Celestial")

# Views, controllers, the Preferences framework, the mail composer and NSTask: the pane's part.
add_library(tonewell_platform_ui STATIC
  common/list_controller.cpp
  common/ns_pipe.cpp
  common/ui_kit.cpp
  ios/message_ui.mm
  ios/ns_task.mm
  ios/preferences_framework.mm
  ios/ui_kit.mm
)
add_library(Tonewell::platform_ui ALIAS tonewell_platform_ui)
target_include_directories(tonewell_platform_ui
  PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/common ${CMAKE_CURRENT_SOURCE_DIR}/ios)
target_link_libraries(tonewell_platform_ui PUBLIC tonewell_platform)
target_link_libraries(tonewell_platform_ui INTERFACE
  "-framework UIKit" "-framework MessageUI" "-framework Preferences")

set_target_properties(tonewell_platform tonewell_platform_ui PROPERTIES
  CXX_VISIBILITY_PRESET hidden OBJCXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
