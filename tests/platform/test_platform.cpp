#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/MainQueue.h"
#include "platform/ObservableObject.h"
#include "platform/SerialWorker.h"
#include "platform/System.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

// A model with one published property, to watch the base class's contract.
class Counter final : public platform::ObservableObject
{
    Q_OBJECT
public:
    explicit Counter(int initial) : m_value(initial) {}
    int value() const { return m_value; }
    void setValue(int value) { store(m_value, value); }

private:
    int m_value;
};

} // namespace

class PlatformTest final : public QObject
{
    Q_OBJECT

private slots:
    void observableNotifiesBeforeEveryStore()
    {
        Counter counter(7);
        std::vector<int> seenAtNotification;
        connect(&counter, &Counter::objectWillChange, this,
                [&] { seenAtNotification.push_back(counter.value()); });

        counter.setValue(8);
        counter.setValue(8); // an equal value still notifies
        counter.setValue(3);

        QCOMPARE(seenAtNotification, (std::vector<int>{7, 8, 8}));
        QCOMPARE(counter.value(), 3);
    }

    void mainQueueRunsJobsInPostingOrderAcrossThreads()
    {
        QObject context;
        std::vector<int> order;
        platform::postToMain(&context, [&] { order.push_back(1); });
        std::thread other([&] {
            platform::postToMain(&context, [&] { order.push_back(2); });
            platform::postToMain(&context, [&] { order.push_back(3); });
        });
        other.join();
        platform::postToMain(&context, [&] { order.push_back(4); });

        QVERIFY(order.empty()); // never synchronous, even from the main thread
        QTRY_COMPARE(order.size(), size_t(4));
        QCOMPARE(order, (std::vector<int>{1, 2, 3, 4}));
    }

    void mainQueueJobRunsOnMainThreadAndDropsWithDeadContext()
    {
        auto context = std::make_unique<QObject>();
        QThread* ranOn = nullptr;
        bool ranDropped = false;
        std::thread other([&] { platform::postToMain(context.get(), [&] { ranOn = QThread::currentThread(); }); });
        other.join();
        QTRY_VERIFY(ranOn != nullptr);
        QCOMPARE(ranOn, qApp->thread());

        platform::postToMain(context.get(), [&] { ranDropped = true; });
        context.reset();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QVERIFY(!ranDropped);
    }

    void serialWorkerRunsOneJobAtATimeInOrder()
    {
        std::vector<int> order;
        std::atomic<int> running{0};
        std::atomic<int> overlap{0};
        {
            platform::SerialWorker worker;
            for (int i = 0; i < 50; ++i) {
                worker.post([&, i] {
                    if (running.fetch_add(1) != 0)
                        ++overlap;
                    QThread::usleep(200);
                    order.push_back(i);
                    running.fetch_sub(1);
                });
            }
        } // the destructor drains the queue before joining
        QCOMPARE(overlap.load(), 0);
        QCOMPARE(order.size(), size_t(50));
        QVERIFY(std::is_sorted(order.begin(), order.end()));
    }

    void serialWorkerRunsOffTheCallingThread()
    {
        std::thread::id jobThread;
        {
            platform::SerialWorker worker;
            worker.post([&] { jobThread = std::this_thread::get_id(); });
        }
        QVERIFY(jobThread != std::thread::id());
        QVERIFY(jobThread != std::this_thread::get_id());
    }

    void resourceLookupSearchesFoldersInOrder()
    {
        QTemporaryDir first, second;
        QVERIFY(first.isValid() && second.isValid());
        auto touch = [](const QString& path) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
        };
        touch(second.filePath("model.bin"));
        QDir(first.path()).mkdir("dir.bin"); // a folder of that name is no resource
        platform::setResourceSearchPathsForTesting({first.path(), second.path()});

        QCOMPARE(platform::pathForResource("model", "bin"), second.filePath("model.bin"));
        touch(first.filePath("model.bin"));
        QCOMPARE(platform::pathForResource("model", "bin"), first.filePath("model.bin"));
        QCOMPARE(platform::pathForResource("dir", "bin"), QString());
        QCOMPARE(platform::pathForResource("missing", "bin"), QString());

        // By default: the installation around the executable first, so that it wins over
        // whatever is installed in the configured folder; the build tree's resources/ last.
        platform::setResourceSearchPathsForTesting({});
        const QDir bin(QCoreApplication::applicationDirPath());
        const QStringList defaults = platform::resourceSearchPaths();
        QCOMPARE(defaults.size(), 3);
        QCOMPARE(defaults.first(), QDir::cleanPath(bin.filePath("../share/quenlo")));
        QVERIFY(QDir::isAbsolutePath(defaults.at(1)));
        QVERIFY(defaults.at(1).endsWith("/quenlo"));
        QCOMPARE(defaults.last(), bin.filePath("resources"));
    }

    void systemServices()
    {
        QVERIFY(platform::activeProcessorCount() >= 1);
        QVERIFY(platform::activeProcessorCount() <= QThread::idealThreadCount());
        QVERIFY(platform::documentsDirectory().startsWith(QDir::homePath()));

        platform::setClipboardText(QStringLiteral("first"));
        platform::setClipboardText(QStringLiteral("sécond ✅"));
        QCOMPARE(platform::clipboardText(), QStringLiteral("sécond ✅"));
    }

    // Lines printed at once from several threads reach a pipe whole and in UTF-8, also
    // lines longer than the pipe writes atomically: the transcript comes from the
    // recogniser's thread while the main thread prints its own lines.
    void linesFromSeveralThreadsReachAPipeWhole()
    {
        const int savedOutput = ::dup(STDOUT_FILENO);
        int fds[2];
        QVERIFY(savedOutput >= 0 && ::pipe(fds) == 0);
        QByteArray received;
        std::thread reader([&] {
            char buffer[4096];
            for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;)
                received.append(buffer, qsizetype(got));
        });
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[1]);

        constexpr int kThreads = 4, kLines = 10; // 800 KB: none waits long enough to be dropped
        const auto lineOf = [](int thread) {
            return QStringLiteral("✅ Transcription: ") + QString(20000, QChar(u'a' + thread)) + QStringLiteral("…");
        };
        {
            std::vector<std::jthread> writers;
            for (int t = 0; t < kThreads; ++t)
                writers.emplace_back([&, t] {
                    for (int i = 0; i < kLines; ++i)
                        platform::printLine(lineOf(t));
                });
        }
        QVERIFY(platform::flushLines(10000));
        ::dup2(savedOutput, STDOUT_FILENO); // the last write end goes: the reader sees EOF
        ::close(savedOutput);
        reader.join();
        ::close(fds[0]);

        QList<QByteArray> lines = received.split('\n');
        QCOMPARE(lines.takeLast(), QByteArray()); // every line ends in a newline
        QCOMPARE(lines.size(), kThreads * kLines);
        std::array<int, kThreads> counts{};
        for (const QByteArray& line : lines) {
            int t = 0;
            while (t < kThreads && line != lineOf(t).toUtf8())
                ++t;
            if (t == kThreads)
                QFAIL("a line arrived torn or mixed with another");
            ++counts[size_t(t)];
        }
        for (int count : counts)
            QCOMPARE(count, kLines);
    }

    // A reader that went away (`quenlo | head -n 1`) fails the write; it neither ends the
    // process with SIGPIPE nor keeps later lines from a reader that is there.
    void printedLinesOutliveAReaderThatWentAway()
    {
        platform::guardStandardStreams();
        const int savedOutput = ::dup(STDOUT_FILENO);
        int gone[2], there[2];
        QVERIFY(savedOutput >= 0 && ::pipe(gone) == 0 && ::pipe(there) == 0);
        ::close(gone[0]);
        ::dup2(gone[1], STDOUT_FILENO);
        platform::printLine(QStringLiteral("lost"));
        QVERIFY(platform::flushLines(10000));
        ::dup2(there[1], STDOUT_FILENO);
        platform::printLine(QStringLiteral("kept"));
        QVERIFY(platform::flushLines(10000));
        ::dup2(savedOutput, STDOUT_FILENO);
        for (int fd : {savedOutput, gone[1], there[1]})
            ::close(fd);
        char buffer[16] = {};
        const ssize_t got = ::read(there[0], buffer, sizeof buffer - 1);
        ::close(there[0]);
        QCOMPARE(QByteArray(buffer, int(std::max<ssize_t>(got, 0))), QByteArray("kept\n"));
    }

    // A reader that is there but reads nothing (a paused terminal) stalls no thread that
    // prints; once it reads, it gets the lines in order and whole, up to 1 MiB of them,
    // and the lines beyond are dropped whole.
    void aReaderThatReadsNothingStallsNoPrinter()
    {
        const int savedOutput = ::dup(STDOUT_FILENO);
        int fds[2];
        QVERIFY(savedOutput >= 0 && ::pipe(fds) == 0);
        // Fill the pipe, then leave its write end blocking, as a terminal's is.
        ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
        const QByteArray filler(4096, 'x');
        qsizetype filled = 0;
        for (ssize_t put; (put = ::write(fds[1], filler.constData(), size_t(filler.size()))) > 0;)
            filled += put;
        ::fcntl(fds[1], F_SETFL, 0);
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[1]);

        const auto lineOf = [](int i) { return QStringLiteral("%1 ").arg(i, 6, 10, QChar(u'0')) + QString(1000, u'…'); };
        constexpr int kLines = 600; // about 1.8 MB in UTF-8
        std::atomic<bool> printed{false};
        std::thread printer([&] {
            for (int i = 0; i < kLines; ++i)
                platform::printLine(lineOf(i));
            printed = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(printed, 10000);
        QCOMPARE(platform::flushLines(100), false); // nothing taken yet

        // The reader wakes up.
        QByteArray received;
        std::thread reader([&] {
            char buffer[65536];
            for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;)
                received.append(buffer, qsizetype(got));
        });
        const bool flushed = platform::flushLines(10000);
        ::dup2(savedOutput, STDOUT_FILENO);
        ::close(savedOutput);
        reader.join(); // also when printed is false: the pipe was unblocked
        printer.join();
        ::close(fds[0]);
        QVERIFY(flushed);

        QCOMPARE(received.left(filled), QByteArray(filled, 'x'));
        QList<QByteArray> lines = received.mid(filled).split('\n');
        QCOMPARE(lines.takeLast(), QByteArray());
        const qsizetype lineBytes = lineOf(0).toUtf8().size() + 1;
        QVERIFY2(lines.size() * lineBytes <= (1 << 20) && (lines.size() + 1) * lineBytes > (1 << 20),
                 qPrintable(QString::number(lines.size())));
        for (int i = 0; i < lines.size(); ++i)
            if (lines[i] != lineOf(i).toUtf8())
                QFAIL(qPrintable(QStringLiteral("line %1 arrived torn or out of order").arg(i)));
    }

    // Last: the queue stays closed for the rest of the process.
    void closedMainQueueDropsLaterJobs()
    {
        QObject context;
        bool ranBefore = false;
        std::atomic<bool> ranAfter{false};
        platform::postToMain(&context, [&] { ranBefore = true; });
        platform::closeMainQueue();
        platform::postToMain(&context, [&] { ranAfter = true; });
        std::thread other([&] { platform::postToMain(&context, [&] { ranAfter = true; }); });
        other.join();
        QTRY_VERIFY(ranBefore); // a job queued before the close still runs
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QVERIFY(!ranAfter);
    }
};

QTEST_MAIN(PlatformTest)
#include "test_platform.moc"
