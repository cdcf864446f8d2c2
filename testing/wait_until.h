#pragma once

#include <functional>

namespace kelv {

// Asks the condition every few milliseconds until it holds (true) or timeoutMillis have
// passed (false): tests wait for what they need, never for a fixed time.
bool waitUntil(const std::function<bool()>& condition, int timeoutMillis);

}  // namespace kelv
