#pragma once

#include <cstddef>

namespace kelv {

// A byte buffer in a mapping of its own. Pages that nothing has written to take no memory,
// so a receive buffer that is rarely used costs next to nothing, which a heap buffer does
// not: its first and last pages are shared with the small objects around it, and those are
// touched all the time. Falls back to the heap when the system refuses a mapping.
class PageBuffer {
 public:
  explicit PageBuffer(size_t bytes);
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;
  ~PageBuffer();

  char* get() const { return data; }

 private:
  char* data;
  size_t size;
  bool mapped;
};

}  // namespace kelv
