#pragma once
namespace sim {
// Removes every observer.
void resetNotificationCenter();
}  // namespace sim
