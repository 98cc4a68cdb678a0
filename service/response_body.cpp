#include "service/response_body.h"

#include <algorithm>
#include <limits>
#include <new>

namespace qvs {
namespace {

// Commitment doubles from here, so a body of n bytes takes about log2(n / 64 KiB) calls and never
// has more than twice its size committed.
constexpr std::size_t kFirstCommit = 64 * 1024;

}  // namespace

ResponseBody::ResponseBody(std::uint64_t size_limit) {
  if (size_limit == 0) {
    return;
  }
  if (size_limit > std::numeric_limits<std::size_t>::max()) {
    throw std::bad_alloc();
  }
  reserved_ = static_cast<std::size_t>(size_limit);
  region_.reset(static_cast<std::uint8_t*>(::VirtualAlloc(nullptr, reserved_, MEM_RESERVE, PAGE_READWRITE)));
  if (!region_) {
    throw std::bad_alloc();
  }
}

std::uint8_t* ResponseBody::Extend(std::size_t count) {
  if (count > reserved_ - size_) {
    throw std::bad_alloc();
  }
  const std::size_t needed = size_ + count;
  if (needed > committed_) {
    const std::size_t wanted = std::min(reserved_, std::max({needed, kFirstCommit, committed_ * 2}));
    if (::VirtualAlloc(region_.get(), wanted, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
      throw std::bad_alloc();
    }
    committed_ = wanted;
  }
  std::uint8_t* tail = region_.get() + size_;
  size_ = needed;
  return tail;
}

}  // namespace qvs
