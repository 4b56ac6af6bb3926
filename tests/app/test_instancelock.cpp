#include "platform/InstanceLock.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <sys/wait.h>
#include <unistd.h>

using platform::InstanceLock;

class TestInstanceLock : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void oneHolderAtATime();
    void killedHolderLeavesNothingBehind();
    void unusableFileIsReported();
    void liesInTheUsersRuntimeDirectory();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
};

void TestInstanceLock::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(QStringLiteral("quenlo.lock"));
}

void TestInstanceLock::oneHolderAtATime()
{
    {
        const InstanceLock first(m_path);
        QCOMPARE(first.result(), InstanceLock::Result::Acquired);
        // Another open of the same file is refused, as another process's would be.
        const InstanceLock second(m_path);
        QCOMPARE(second.result(), InstanceLock::Result::HeldElsewhere);
        QVERIFY(second.errorString().isEmpty());
    }
    const InstanceLock afterwards(m_path);
    QCOMPARE(afterwards.result(), InstanceLock::Result::Acquired);
}

void TestInstanceLock::killedHolderLeavesNothingBehind()
{
    int ready[2];
    QCOMPARE(::pipe(ready), 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // The child holds the lock until it is killed; it never returns to the test.
        const InstanceLock held(m_path);
        const char state = held.result() == InstanceLock::Result::Acquired ? 'y' : 'n';
        if (::write(ready[1], &state, 1) != 1)
            ::_exit(1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char state = 0;
    QCOMPARE(::read(ready[0], &state, 1), ssize_t(1));
    ::close(ready[0]);
    QCOMPARE(state, 'y');

    QCOMPARE(InstanceLock(m_path).result(), InstanceLock::Result::HeldElsewhere);

    QCOMPARE(::kill(child, SIGKILL), 0);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFSIGNALED(status));
    QVERIFY(QFile::exists(m_path)); // the file stays; only the lock went with the process
    QCOMPARE(InstanceLock(m_path).result(), InstanceLock::Result::Acquired);
}

void TestInstanceLock::unusableFileIsReported()
{
    const InstanceLock missingFolder(m_dir->filePath(QStringLiteral("gone/quenlo.lock")));
    QCOMPARE(missingFolder.result(), InstanceLock::Result::Unavailable);
    QVERIFY(!missingFolder.errorString().isEmpty());

    const InstanceLock relative(QStringLiteral("quenlo.lock"));
    QCOMPARE(relative.result(), InstanceLock::Result::Unavailable);
}

void TestInstanceLock::liesInTheUsersRuntimeDirectory()
{
    // One lock per user, whatever the display: two displays of one user would still
    // share the recording file.
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_dir->path()));
    const QString path = InstanceLock::defaultPath();
    qputenv("XDG_RUNTIME_DIR", saved);
    QCOMPARE(path, m_path);
}

QTEST_APPLESS_MAIN(TestInstanceLock)
#include "test_instancelock.moc"
