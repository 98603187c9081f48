# Cross-compiles the deliverables for arm64 iPhones with Debian's clang and lld against an
# iPhoneOS SDK (headers and .tbd stubs), which IOS_SDK names. The linker signs ad hoc; the build
# then signs again as the phone's kernels of every system need (scripts/adhoc_sign.py).
set(CMAKE_SYSTEM_NAME iOS)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_OSX_ARCHITECTURES arm64)
# The oldest system the code compiles for: C++20 with the SDK's libc++ headers, and ARC, whose
# runtime calls every arm64 system has (arm64 began with iOS 7).
set(CMAKE_OSX_DEPLOYMENT_TARGET 7.0)

if(NOT DEFINED ENV{IOS_SDK} AND NOT IOS_SDK)
  message(FATAL_ERROR "Set IOS_SDK to an iPhoneOS SDK folder (for example iPhoneOS15.6.sdk)")
endif()
if(NOT IOS_SDK)
  set(IOS_SDK $ENV{IOS_SDK})
endif()
set(IOS_SDK ${IOS_SDK} CACHE PATH "The iPhoneOS SDK the deliverables are built against")
set(CMAKE_OSX_SYSROOT ${IOS_SDK})

# LLVM 16, Debian 12's newest: its lld merges the Objective-C image info of all objects into the
# one 8-byte record the runtime reads, and for an iOS 7 target it still writes the classic dyld
# information (rebase and bind opcodes, no chained fixups), which iOS 7 to 14's dyld needs.
set(TONEWELL_LLVM_BIN /usr/lib/llvm-16/bin)
find_program(TONEWELL_CLANGXX NAMES clang++ PATHS ${TONEWELL_LLVM_BIN} NO_DEFAULT_PATH REQUIRED
  NO_CMAKE_FIND_ROOT_PATH)
# clang finds the ld64.lld of its own folder first (-fuse-ld=lld).
find_program(TONEWELL_LD64_LLD NAMES ld64.lld PATHS ${TONEWELL_LLVM_BIN} NO_DEFAULT_PATH REQUIRED
  NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_CXX_COMPILER ${TONEWELL_CLANGXX})
set(CMAKE_OBJCXX_COMPILER ${TONEWELL_CLANGXX})
set(CMAKE_CXX_COMPILER_TARGET arm64-apple-ios${CMAKE_OSX_DEPLOYMENT_TARGET})
set(CMAKE_OBJCXX_COMPILER_TARGET arm64-apple-ios${CMAKE_OSX_DEPLOYMENT_TARGET})
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool PATHS ${TONEWELL_LLVM_BIN}
  NO_DEFAULT_PATH REQUIRED NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_OBJCXX_FLAGS_INIT "-stdlib=libc++")
# The SDK's own C++ library headers, never a toolchain's (Debian's libc++-16-dev, which the tests
# use, would otherwise come first): the binaries must call only what the phone's libc++ exports.
# Compile options only (the top CMakeLists applies them): the linker driver has no use for them.
set(TONEWELL_SDK_CXX_HEADERS ${IOS_SDK}/usr/include/c++/v1)
foreach(kind SHARED MODULE EXE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT
    "-fuse-ld=lld -stdlib=libc++ -Wl,-adhoc_codesign")
endforeach()
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
