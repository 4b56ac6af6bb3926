// The desktop's microphone answer, asked of real sound servers of the test's own:
// denied while the server offers no input, authorized while it offers one, and
// followed as inputs come and go and as the server restarts. A request answers the
// same, later, on another thread.
#include "platform/MicrophoneAuthorization.h"
#include "../support/PrivateServer.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>

namespace {

using Authorization = platform::MicrophoneAuthorization;

// The answer of a request, and whether it came on another thread.
std::pair<bool, bool> requestAnswer(Authorization& authorization)
{
    std::atomic<int> answers{0};
    std::atomic<bool> granted{false};
    std::atomic<bool> offMain{false};
    QThread* const main = QThread::currentThread();
    authorization.requestAccess([&](bool answer) {
        granted = answer;
        offMain = QThread::currentThread() != main;
        ++answers;
    });
    if (!QTest::qWaitFor([&] { return answers.load() == 1; }, 5000))
        return {false, false};
    return {granted.load(), offMain.load()};
}

} // namespace

class MicrophoneAuthorizationTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString missing = PrivateServer::missingTool();
        QVERIFY2(missing.isEmpty(), qPrintable(missing + QStringLiteral(" is missing; run scripts/setup.sh")));
    }

    void answerFollowsTheInputsOfTheServer()
    {
        PrivateServer server;
        QVERIFY(server.start(QStringLiteral("silent")));
        qputenv("PULSE_SERVER", server.address().toUtf8());
        const auto authorization = Authorization::createDefault();

        QCOMPARE(authorization->authorizationStatus(), int(Authorization::Denied));
        QCOMPARE(requestAnswer(*authorization), std::make_pair(false, true));

        // An output brings only its monitor, which hears no one.
        QVERIFY(!server.pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                               QStringLiteral("sink_name=room")})
                     .isEmpty());
        QCOMPARE(authorization->authorizationStatus(), int(Authorization::Denied));

        // A microphone that hears the room: a source of its own, not a monitor.
        const QString microphone =
            server.pactl({QStringLiteral("load-module"), QStringLiteral("module-remap-source"),
                          QStringLiteral("master=room.monitor"), QStringLiteral("source_name=plugged")});
        QVERIFY(!microphone.isEmpty());
        QCOMPARE(authorization->authorizationStatus(), int(Authorization::Authorized));
        QCOMPARE(requestAnswer(*authorization), std::make_pair(true, true));

        server.pactl({QStringLiteral("unload-module"), microphone});
        QCOMPARE(authorization->authorizationStatus(), int(Authorization::Denied));
        QCOMPARE(requestAnswer(*authorization), std::make_pair(false, true));
    }

    void restartedServerIsAskedAgain()
    {
        PrivateServer server;
        QVERIFY(server.start(QStringLiteral("microphone")));
        qputenv("PULSE_SERVER", server.address().toUtf8());
        const auto authorization = Authorization::createDefault();
        QCOMPARE(authorization->authorizationStatus(), int(Authorization::Authorized));

        // No server offers no microphone.
        server.kill();
        QCOMPARE(authorization->authorizationStatus(), int(Authorization::Denied));
        QCOMPARE(requestAnswer(*authorization), std::make_pair(false, true));

        QVERIFY(server.start(QStringLiteral("silent")));
        QCOMPARE(authorization->authorizationStatus(), int(Authorization::Denied));
        server.kill();
        QVERIFY(server.start(QStringLiteral("microphone")));
        QCOMPARE(authorization->authorizationStatus(), int(Authorization::Authorized));
        QCOMPARE(requestAnswer(*authorization), std::make_pair(true, true));
    }

    void pendingAnswersArriveBeforeDestructionEnds()
    {
        std::atomic<int> answers{0};
        {
            auto authorization = Authorization::createDefault();
            for (int i = 0; i < 3; ++i)
                authorization->requestAccess([&](bool) { ++answers; });
        }
        QCOMPARE(answers.load(), 3);
    }
};

QTEST_MAIN(MicrophoneAuthorizationTest)
#include "test_microphoneauthorization.moc"
