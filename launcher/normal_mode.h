#pragma once

namespace qvs {

// Installs or refreshes the per-user copy, hands over to it or starts the verified support host.
// Raises on failure; the caller's failure handler shows the error dialog.
void RunNormalMode();

}  // namespace qvs
