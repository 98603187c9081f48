#pragma once
namespace sim {
// The media server ends every camera session of a process that has ended: its cameras go off
// and its sessions deliver no frame any more.
void endCameraSessions();
}  // namespace sim
