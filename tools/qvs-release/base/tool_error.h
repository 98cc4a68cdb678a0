#pragma once

#include <stdexcept>

namespace qvs {

// A failure of the publisher tool: its text says what went wrong and, where it helps, which file.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The command line itself is wrong; the tool answers with exit code 2 and the command's usage.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace qvs
