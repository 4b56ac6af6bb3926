#pragma once

#include <functional>

class QObject;

namespace platform {

// Queues `job` on the main thread's event loop, after every job queued before it
// (from any thread) and before every job queued after it. `context` must live on
// the main thread; if it is destroyed first, the job is dropped instead of running
// against a dead object.
void postToMain(const QObject* context, std::function<void()> job);

} // namespace platform
