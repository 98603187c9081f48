// What the run loops of a platform share with NSObject's delayed requests.
#pragma once

namespace platform {

// Drops the tasks posted with `tag` on every queue of the process, whichever thread calls: the
// end of a ring may come on another thread than the one that made the requests.
void cancelRequestsEverywhere(const void* tag);

}  // namespace platform
