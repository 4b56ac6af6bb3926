#include "Console.h"

#include <QByteArray>

#include <cerrno>
#include <csignal>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

namespace platform {
namespace {
std::mutex sinkMutex;
std::function<void(const QString&)> testSink;
// One line at a time, also when a pipe takes a line in several writes.
std::mutex outputMutex;
} // namespace

void guardStandardStreams()
{
    // open() returns the lowest free number, so going up from 0 fills each gap in turn.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened != fd && opened >= 0)
            ::close(opened); // something else filled the gap meanwhile; leave it be
    }
    std::signal(SIGPIPE, SIG_IGN);
}

void printLine(const QString& line)
{
    {
        std::lock_guard lock(sinkMutex);
        if (testSink) {
            testSink(line);
            return;
        }
    }
    // Straight to the descriptor: stdio would keep a failed line buffered and its error
    // flag set, and hand the stale bytes to the next reader.
    const QByteArray bytes = line.toUtf8() + '\n';
    std::lock_guard lock(outputMutex);
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // closed, full disk, reader gone: the line is lost, Quenlo goes on
        data += written;
        left -= written;
    }
}

void setLineSinkForTesting(std::function<void(const QString&)> sink)
{
    std::lock_guard lock(sinkMutex);
    testSink = std::move(sink);
}

} // namespace platform
