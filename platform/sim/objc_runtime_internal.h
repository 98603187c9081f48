#pragma once
namespace sim {
// Forgets every registered class (the process starts afresh).
void resetClassRegistry();
}  // namespace sim
