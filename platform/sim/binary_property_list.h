// Binary property lists ("bplist00") written directly from our values: libplist 2.2's own binary
// writer takes time that grows with the square of a dictionary's size (2.5 s for 100,000 keys),
// while its reader is fast and stays the one that reads them. Equal values are written once and
// referred to wherever they occur, so a value read with its containers shared is written back
// as small as it came.
#pragma once

#include <string>

#include "platform/value.h"

namespace sim {

std::string writeBinaryPropertyList(const platform::Value& value);

}  // namespace sim
