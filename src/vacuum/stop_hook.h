// The test stop hook of the in-place vacuum: TARNIX_TEST_STOP_IN_PLACE_VACUUM_AT names a
// stage at which the vacuum (or the recovery that finishes it at open) stops with an error,
// so that tests can leave the files exactly as a crash at that point would.
#pragma once

#include "util/status.h"

namespace tarnix {

// Read afresh at every call; the value must equal the stage name byte for byte.
Status maybe_fail_test_in_place_vacuum(const char* stage);

}  // namespace tarnix
