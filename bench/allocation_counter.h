// Counts heap allocations made by the benchmark process (operator new is replaced in
// allocation_counter.cpp).
#pragma once

#include <atomic>
#include <cstddef>

namespace bench {
extern std::atomic<std::size_t> allocations;
}
