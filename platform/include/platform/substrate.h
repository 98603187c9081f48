// The code-injection host's hooking call.
#pragma once

#include "platform/objc_runtime.h"

namespace platform {

// Replaces the implementation of `selector` in `cls` with `replacement` and writes the one it
// replaced into `*result` (when `result` is not null). A null class, or a selector the class
// does not implement, replaces nothing and writes null into `*result`.
void MSHookMessageEx(Class cls, SEL selector, IMP replacement, IMP* result) noexcept;

}  // namespace platform
