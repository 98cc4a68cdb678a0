#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "common/byte_buffer.h"
#include "common/kernel_handle.h"

namespace qvs {

// A response body held whole in memory. Address space for the whole size limit is reserved up
// front and memory committed only as chunks arrive, so the body grows in place: each chunk is
// read straight into its final position, nothing is zero-filled or copied on the way, and a
// small body costs only its own pages however large the limit. Running out of memory throws
// std::bad_alloc, as a growing std::vector would.
class ResponseBody {
 public:
  explicit ResponseBody(std::uint64_t size_limit);
  ResponseBody(ResponseBody&& other) noexcept
      : region_(std::move(other.region_)),
        reserved_(std::exchange(other.reserved_, 0)),
        committed_(std::exchange(other.committed_, 0)),
        size_(std::exchange(other.size_, 0)) {}
  ResponseBody& operator=(ResponseBody&&) = delete;

  // Lengthens the body by `count` bytes, at most up to the limit, and returns where they go; their
  // content is unspecified until the caller writes them.
  std::uint8_t* Extend(std::size_t count);
  // Gives back the last `count` bytes of the body (at most all of it): bytes made room for that
  // never arrived. Their memory stays committed for a later Extend.
  void Shorten(std::size_t count) noexcept { size_ -= count < size_ ? count : size_; }

  const std::uint8_t* data() const noexcept { return region_.get(); }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const std::uint8_t* begin() const noexcept { return data(); }
  const std::uint8_t* end() const noexcept { return data() + size_; }
  operator ByteView() const noexcept { return ByteView(data(), size_); }

 private:
  ScopedVirtualRegion region_;
  std::size_t reserved_ = 0;
  std::size_t committed_ = 0;
  std::size_t size_ = 0;
};

}  // namespace qvs
