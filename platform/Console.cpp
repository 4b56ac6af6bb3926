#include "Console.h"

#include <QByteArray>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace platform {
namespace {
std::mutex sinkMutex;
std::function<void(const QString&)> testSink;

// Beyond this much waiting output a line is dropped whole: a reader that never reads
// costs memory up to here and no more.
constexpr qsizetype kMostWaitingBytes = 1 << 20;

// Lines wait here for the one thread that writes them, so that a reader that stops
// reading (a paused terminal, a stuck log daemon) stalls no thread that prints, the
// main thread above all. Never destroyed: at exit the writer may still be blocked in
// write() on it.
struct Output
{
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<QByteArray> lines;
    qsizetype waitingBytes = 0; // queued, and the line being written
    bool writerStarted = false;
};

Output& output()
{
    static Output* const shared = new Output;
    return *shared;
}

// Straight to the descriptor: stdio would keep a failed line buffered and its error
// flag set, and hand the stale bytes to the next reader.
void writeWhole(const QByteArray& bytes)
{
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

void writeLines(Output& out)
{
    std::unique_lock lock(out.mutex);
    for (;;) {
        out.changed.wait(lock, [&] { return !out.lines.empty(); });
        const QByteArray line = std::move(out.lines.front());
        out.lines.pop_front();
        lock.unlock();
        writeWhole(line);
        lock.lock();
        out.waitingBytes -= line.size();
        out.changed.notify_all();
    }
}
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
    QByteArray bytes = line.toUtf8() + '\n';
    Output& out = output();
    std::lock_guard lock(out.mutex);
    if (!out.writerStarted) {
        std::thread(writeLines, std::ref(out)).detach();
        out.writerStarted = true;
    }
    if (out.waitingBytes + bytes.size() > kMostWaitingBytes)
        return;
    out.waitingBytes += bytes.size();
    out.lines.push_back(std::move(bytes));
    out.changed.notify_all();
}

bool flushLines(int timeoutMs)
{
    Output& out = output();
    std::unique_lock lock(out.mutex);
    return out.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return out.waitingBytes == 0; });
}

void setLineSinkForTesting(std::function<void(const QString&)> sink)
{
    std::lock_guard lock(sinkMutex);
    testSink = std::move(sink);
}

} // namespace platform
