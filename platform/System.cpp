#include "System.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QStandardPaths>

#include <sched.h>

#include <algorithm>

namespace platform {

QString documentsDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
}

int activeProcessorCount()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0)
        return 1;
    return std::max(1, CPU_COUNT(&set));
}

void setClipboardText(const QString& text)
{
    // setText replaces every format the clipboard held before.
    QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
}

QString clipboardText()
{
    return QGuiApplication::clipboard()->text(QClipboard::Clipboard);
}

} // namespace platform
