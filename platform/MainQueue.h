#pragma once

#include <functional>

class QObject;

namespace platform {

// Queues `job` on the main thread's event loop, after every job queued before it
// (from any thread) and before every job queued after it. `context` must live on
// the main thread; if it is destroyed first, the job is dropped instead of running
// against a dead object.
void postToMain(const QObject* context, std::function<void()> job);

// Drops every job posted from now on, from any thread. Called once, at the end of the
// main loop: a background job finishing while the application object is destroyed
// must not post into an event loop being torn down.
void closeMainQueue();

} // namespace platform
