#include "launcher/normal_mode.h"

#include "common/launcher_failure.h"

namespace qvs {

void RunNormalMode() {
  // The installation, refresh and host start are not part of this build yet.
  throw LauncherFailure("Normal mode is not available in this build.");
}

}  // namespace qvs
