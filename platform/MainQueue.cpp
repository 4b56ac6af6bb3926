#include "MainQueue.h"

#include <QMetaObject>
#include <QObject>

namespace platform {

void postToMain(const QObject* context, std::function<void()> job)
{
    // Posted events of one priority are delivered in posting order, which is the
    // only ordering the models rely on.
    QMetaObject::invokeMethod(const_cast<QObject*>(context), std::move(job), Qt::QueuedConnection);
}

} // namespace platform
