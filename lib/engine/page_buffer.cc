#include "lib/engine/page_buffer.h"

#include <sys/mman.h>

namespace kelv {

PageBuffer::PageBuffer(size_t bytes) : data(nullptr), size(bytes), mapped(true) {
  void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) {
    data = new char[size];
    mapped = false;
    return;
  }
  data = static_cast<char*>(pages);
}

PageBuffer::~PageBuffer() {
  if (!mapped) {
    delete[] data;
    return;
  }
  // Nothing to report from a destructor; a failing munmap only leaves the pages mapped.
  static_cast<void>(munmap(data, size));
}

}  // namespace kelv
