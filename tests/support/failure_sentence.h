#pragma once

#include <string>
#include <utility>

#include "common/launcher_failure.h"

namespace qvs::testing {

// The sentence of the LauncherFailure that `action` raises; "" when it returns. Any other
// exception escapes and fails the test.
template <typename Action>
std::string SentenceOf(Action&& action) {
  try {
    std::forward<Action>(action)();
  } catch (const LauncherFailure& failure) {
    return failure.what();
  }
  return "";
}

}  // namespace qvs::testing
