#include "vacuum/stop_hook.h"

#include <string>

#include "util/env.h"

namespace tarnix {

Status maybe_fail_test_in_place_vacuum(const char* stage) {
  std::optional<std::string> wanted = env_text("TARNIX_TEST_STOP_IN_PLACE_VACUUM_AT");
  if (!wanted || *wanted != stage) return Status();
  return Status::internal(std::string("test stop at in-place vacuum stage ") + stage);
}

}  // namespace tarnix
