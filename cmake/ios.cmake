# Cross-compiles the deliverables for one iPhone architecture, TONEWELL_IOS_ARCH (set by
# ios-arm64.cmake, ios-armv7.cmake or ios-armv7s.cmake), with Debian's clang 16 against an
# iPhoneOS SDK's headers (IOS_SDK). Each architecture is a build folder of its own; the phone
# package joins their binaries into fat files (packaging/).
#
# arm64 links with lld 16 against the same SDK's .tbd stubs. It signs ad hoc; the build then signs
# again as the phone's kernels of every system need (scripts/adhoc_sign.py).
# armv7 and armv7s link with lld 13's old Mach-O linker through scripts/ld_old_macho.py, against
# stub libraries made from an older SDK's .tbd stubs (IOS_SDK_32, iPhoneOS9.3.sdk: it has the
# 32-bit runtime's symbols, such as __Unwind_SjLj_Register and ___fixdfdi, which later SDKs drop).
set(CMAKE_SYSTEM_NAME iOS)
set(CMAKE_SYSTEM_PROCESSOR ${TONEWELL_IOS_ARCH})
set(CMAKE_OSX_ARCHITECTURES ${TONEWELL_IOS_ARCH})
# The oldest system the code compiles for: C++20 with the SDK's libc++ headers, and ARC, whose
# runtime calls every system from iOS 5 on has.
set(CMAKE_OSX_DEPLOYMENT_TARGET 7.0)

foreach(sdk IOS_SDK IOS_SDK_32)
  if(NOT ${sdk} AND DEFINED ENV{${sdk}})
    set(${sdk} $ENV{${sdk}})
  endif()
endforeach()
if(NOT IOS_SDK)
  message(FATAL_ERROR "Set IOS_SDK to an iPhoneOS SDK folder (for example iPhoneOS15.6.sdk)")
endif()
set(IOS_SDK ${IOS_SDK} CACHE PATH "The iPhoneOS SDK the deliverables are compiled against")
set(CMAKE_OSX_SYSROOT ${IOS_SDK})

# LLVM 16, Debian 12's newest: its lld merges the Objective-C image info of all objects into the
# one 8-byte record the runtime reads, and for an iOS 7 target it still writes the classic dyld
# information (rebase and bind opcodes, no chained fixups), which iOS 7 to 14's dyld needs.
set(TONEWELL_LLVM_BIN /usr/lib/llvm-16/bin)
find_program(TONEWELL_CLANGXX NAMES clang++ PATHS ${TONEWELL_LLVM_BIN} NO_DEFAULT_PATH REQUIRED
  NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_CXX_COMPILER ${TONEWELL_CLANGXX})
set(CMAKE_OBJCXX_COMPILER ${TONEWELL_CLANGXX})
set(CMAKE_CXX_COMPILER_TARGET ${TONEWELL_IOS_ARCH}-apple-ios${CMAKE_OSX_DEPLOYMENT_TARGET})
set(CMAKE_OBJCXX_COMPILER_TARGET ${TONEWELL_IOS_ARCH}-apple-ios${CMAKE_OSX_DEPLOYMENT_TARGET})
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool PATHS ${TONEWELL_LLVM_BIN}
  NO_DEFAULT_PATH REQUIRED NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_OBJCXX_FLAGS_INIT "-stdlib=libc++")
# The SDK's own C++ library headers, never a toolchain's (Debian's libc++-16-dev, which the tests
# use, would otherwise come first): the binaries must call only what the phone's libc++ exports.
# Compile options only (the top CMakeLists applies them): the linker driver has no use for them.
set(TONEWELL_SDK_CXX_HEADERS ${IOS_SDK}/usr/include/c++/v1)

if(TONEWELL_IOS_ARCH STREQUAL "arm64")
  # clang finds the ld64.lld of its own folder first (-fuse-ld=lld).
  find_program(TONEWELL_LD64_LLD NAMES ld64.lld PATHS ${TONEWELL_LLVM_BIN} NO_DEFAULT_PATH
    REQUIRED NO_CMAKE_FIND_ROOT_PATH)
  set(linker_flags "-fuse-ld=lld -stdlib=libc++ -Wl,-adhoc_codesign")
else()
  # iOS armv7 is soft-float in calls (floats and doubles travel in core registers) and unwinds
  # C++ exceptions with setjmp/longjmp: clang's defaults for this target, which the SDK's
  # 32-bit runtime (libunwind's _Unwind_SjLj_*) matches.
  # No tail calls: a Thumb function that ends in a jump to an imported function needs the
  # linker's Thumb-to-ARM shim, and lld 13's has `add pc, pc` (0x44ff) where `add ip, pc` is
  # meant. Calls (blx) to the ARM stubs need none.
  string(APPEND CMAKE_CXX_FLAGS_INIT " -fno-optimize-sibling-calls")
  string(APPEND CMAKE_OBJCXX_FLAGS_INIT " -fno-optimize-sibling-calls")
  if(NOT IOS_SDK_32)
    message(FATAL_ERROR "Set IOS_SDK_32 to an iPhoneOS SDK with 32-bit stubs (iPhoneOS9.3.sdk)")
  endif()
  set(IOS_SDK_32 ${IOS_SDK_32} CACHE PATH "The iPhoneOS SDK the 32-bit slices link against")
  find_program(TONEWELL_LD64_OLD NAMES ld64.lld.darwinold-13 REQUIRED NO_CMAKE_FIND_ROOT_PATH)
  get_filename_component(source ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
  set(linker_flags "--ld-path=${source}/scripts/ld_old_macho.py -stdlib=libc++")
  string(APPEND linker_flags " -Wl,--link-sdk=${IOS_SDK_32} -Wl,--names-sdk=${IOS_SDK}")
endif()
foreach(kind SHARED MODULE EXE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "${linker_flags}")
endforeach()
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES IOS_SDK IOS_SDK_32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
