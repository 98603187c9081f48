# The armv7s slice (iPhone 5 and 5c, iPad 4): compiled by clang 16, linked by lld 13's old
# Mach-O linker (scripts/ld_old_macho.py).
set(TONEWELL_IOS_ARCH armv7s)
include(${CMAKE_CURRENT_LIST_DIR}/ios.cmake)
