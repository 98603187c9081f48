// Where the command finds the parts it loads at run time.
#pragma once

#include <string>

namespace tonewell {

// Where a built part is: the environment variable `override` when set, else `name` in the lib/
// folder beside the command's bin/ folder.
std::string besideCommand(const char* override, const char* name);

}  // namespace tonewell
