#include "MainQueue.h"

#include <QMetaObject>
#include <QObject>

#include <mutex>

namespace platform {

namespace {
// Held across each post, so no post is half done when the queue closes.
std::mutex queueMutex;
bool queueClosed = false;
} // namespace

void postToMain(const QObject* context, std::function<void()> job)
{
    const std::lock_guard lock(queueMutex);
    if (queueClosed)
        return;
    // Posted events of one priority are delivered in posting order, which is the
    // only ordering the models rely on.
    QMetaObject::invokeMethod(const_cast<QObject*>(context), std::move(job), Qt::QueuedConnection);
}

void closeMainQueue()
{
    const std::lock_guard lock(queueMutex);
    queueClosed = true;
}

} // namespace platform
