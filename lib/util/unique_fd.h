#pragma once

#include <unistd.h>

#include <utility>

namespace kelv {

// Owns one descriptor; -1 means none (0 is a real descriptor when standard input is closed).
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int descriptor) : fd(descriptor) {}
  UniqueFd(UniqueFd&& other) noexcept : fd(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return fd; }
  bool Valid() const { return fd >= 0; }
  int Release() { return std::exchange(fd, -1); }
  void Reset(int descriptor = -1) {
    // The result of close is of no use here: the descriptor is gone either way.
    if (fd >= 0) static_cast<void>(::close(fd));
    fd = descriptor;
  }

 private:
  int fd = -1;
};

}  // namespace kelv
