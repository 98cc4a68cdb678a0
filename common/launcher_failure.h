#pragma once

#include <stdexcept>

namespace qvs {

// A failure of the launcher: its text is one fixed English sentence that the error dialog shows.
class LauncherFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace qvs
