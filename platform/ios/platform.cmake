# The platform layer on the phone: Objective-C++ over the phone's frameworks, as two static
# libraries so that the monitor, loaded into SpringBoard, never brings in the UI frameworks.
set(TONEWELL_PRIVATE_FRAMEWORKS ${CMAKE_OSX_SYSROOT}/System/Library/PrivateFrameworks)

tonewell_framework_sources(monitor_sources ios .mm ${TONEWELL_MONITOR_FRAMEWORKS})
tonewell_framework_sources(ui_sources ios .mm ${TONEWELL_UI_FRAMEWORKS})

add_library(tonewell_platform STATIC
  ${monitor_sources}
  ios/value.mm  # conversions between the platform's property lists and ours
)
add_library(Tonewell::platform ALIAS tonewell_platform)
target_include_directories(tonewell_platform
  PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR}/ios/include
  PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/common ${CMAKE_CURRENT_SOURCE_DIR}/ios)
target_compile_options(tonewell_platform PUBLIC $<$<COMPILE_LANGUAGE:OBJCXX>:-fobjc-arc>)
target_link_libraries(tonewell_platform PRIVATE utf8cpp)
target_link_options(tonewell_platform INTERFACE -F${TONEWELL_PRIVATE_FRAMEWORKS})
target_link_libraries(tonewell_platform INTERFACE
  "-framework Foundation" "-framework CoreFoundation" "-framework AVFoundation"
  "-framework CoreMedia" "-framework CoreMotion" "-framework Celestial")

# Views, controllers, the Preferences framework, the mail composer and NSTask: the pane's part.
add_library(tonewell_platform_ui STATIC ${ui_sources})
add_library(Tonewell::platform_ui ALIAS tonewell_platform_ui)
target_include_directories(tonewell_platform_ui
  PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/common ${CMAKE_CURRENT_SOURCE_DIR}/ios)
target_link_libraries(tonewell_platform_ui PUBLIC tonewell_platform)
target_link_libraries(tonewell_platform_ui INTERFACE
  "-framework UIKit" "-framework MessageUI" "-framework Preferences")

set_target_properties(tonewell_platform tonewell_platform_ui PROPERTIES
  CXX_VISIBILITY_PRESET hidden OBJCXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
