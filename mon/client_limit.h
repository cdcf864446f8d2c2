#pragma once

#include <atomic>
#include <memory>

namespace kelv {

// How many clients are being served, against the most that may be. The listener takes a place
// for each client it accepts; the client's connection gives it back when it ends, possibly
// after the listener itself is gone, so both share the count.
class ClientLimit {
 public:
  explicit ClientLimit(int maxClients) : limit(maxClients) {}

  // A place, or false when all are taken.
  bool TryTake() {
    int taken = active.load();
    while (taken < limit) {
      if (active.compare_exchange_weak(taken, taken + 1)) return true;
    }
    return false;
  }
  void GiveBack() { active.fetch_sub(1); }
  int Active() const { return active.load(); }

 private:
  const int limit;
  std::atomic<int> active{0};
};

// One taken place, given back when the slot is destroyed. An empty slot holds none.
class ClientSlot {
 public:
  ClientSlot() = default;
  explicit ClientSlot(std::shared_ptr<ClientLimit> taken) : limit(std::move(taken)) {}
  ClientSlot(ClientSlot&&) noexcept = default;
  ClientSlot& operator=(ClientSlot&& other) noexcept {
    Release();
    limit = std::move(other.limit);
    return *this;
  }
  ~ClientSlot() { Release(); }

 private:
  void Release() {
    if (limit) limit->GiveBack();
    limit.reset();
  }

  std::shared_ptr<ClientLimit> limit;
};

}  // namespace kelv
