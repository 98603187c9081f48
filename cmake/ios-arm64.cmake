# The arm64 slice (iPhone 5s and later): compiled by clang 16 and linked by lld 16.
set(TONEWELL_IOS_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/ios.cmake)
