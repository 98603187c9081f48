# The armv7 slice (iPhone 4 and 4S, iPad 2 and 3, iPad mini, iPod touch 5): compiled by
# clang 16, linked by lld 13's old Mach-O linker (scripts/ld_old_macho.py).
set(TONEWELL_IOS_ARCH armv7)
include(${CMAKE_CURRENT_LIST_DIR}/ios.cmake)
