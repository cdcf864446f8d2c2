#pragma once

#include <memory>

namespace kelv {

// Makes owning pointers over C library objects one pointer wide:
//   using SslPtr = std::unique_ptr<SSL, FnDeleter<SSL_free>>;
template <auto Fn>
struct FnDeleter {
  template <class T>
  void operator()(T* p) const {
    if (p) Fn(p);
  }
};

}  // namespace kelv
