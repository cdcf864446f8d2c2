#pragma once

#include <ev.h>

// The few ways the engine arms its libev watchers, in one place so that a change of how the
// kernel is told (ev_io_set against ev_io_modify, feeding events) stays local.

namespace kelv {

using IoCallback = void (*)(struct ev_loop*, ev_io*, int);
using TimerCallback = void (*)(struct ev_loop*, ev_timer*, int);

// Points the watcher at a descriptor it may never have watched: ev_io_set marks the
// descriptor as new, so libev registers it afresh even when a closed descriptor's number came
// back.
inline void armIo(struct ev_loop* loop, ev_io* watcher, IoCallback callback, int fd, int events,
                  void* data) {
  ev_io_stop(loop, watcher);
  ev_io_init(watcher, callback, fd, events);
  watcher->data = data;
  ev_io_start(loop, watcher);
}

// Same descriptor, another callback and direction: only the events change, so libev asks
// the kernel for nothing when the net interest at the next iteration is what it already has.
inline void rearmIo(struct ev_loop* loop, ev_io* watcher, IoCallback callback, int events) {
  ev_io_stop(loop, watcher);
  ev_set_cb(watcher, callback);
  ev_io_modify(watcher, events);
  ev_io_start(loop, watcher);
}

// Keeps the callback, waits for the other direction.
inline void switchIoDirection(struct ev_loop* loop, ev_io* watcher, int events) {
  ev_io_stop(loop, watcher);
  ev_io_modify(watcher, events);
  ev_io_start(loop, watcher);
}

// Runs the watcher's callback in this loop iteration as if the socket were ready, saving a
// poll round trip where readiness is all but certain (a kept-alive socket is writable).
inline void feedIo(struct ev_loop* loop, ev_io* watcher, int events) {
  ev_feed_event(loop, watcher, events);
}

inline void startOneShot(struct ev_loop* loop, ev_timer* timer, TimerCallback callback,
                         double seconds, void* data) {
  ev_timer_stop(loop, timer);
  ev_timer_init(timer, callback, seconds, 0.);
  timer->data = data;
  ev_timer_start(loop, timer);
}

}  // namespace kelv
