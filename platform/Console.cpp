#include "Console.h"

#include <QByteArray>

#include <cstdio>
#include <mutex>

namespace platform {
namespace {
std::mutex sinkMutex;
std::function<void(const QString&)> testSink;
} // namespace

void printLine(const QString& line)
{
    {
        std::lock_guard lock(sinkMutex);
        if (testSink) {
            testSink(line);
            return;
        }
    }
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void setLineSinkForTesting(std::function<void(const QString&)> sink)
{
    std::lock_guard lock(sinkMutex);
    testSink = std::move(sink);
}

} // namespace platform
