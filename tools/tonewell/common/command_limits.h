// What every subcommand of `tonewell` agrees on: its exit status for a usage error, and the
// largest file it reads.
#pragma once

#include <cstddef>

namespace tonewell {

// A command line, a scenario or a log the command cannot take.
inline constexpr int kUsageError = 2;
// A scenario or a log of at most this size is read (a million events take about 100 MB of YAML).
inline constexpr std::size_t kLargestInput = 256u << 20;

}  // namespace tonewell
