// The desktop's microphone answer: authorized exactly when an audio input exists,
// and a request answers the same, later, on another thread.
#include "platform/MicrophoneAuthorization.h"

#include <QAudioDevice>
#include <QCoreApplication>
#include <QMediaDevices>
#include <QTest>
#include <QThread>

#include <atomic>

class MicrophoneAuthorizationTest final : public QObject
{
    Q_OBJECT

private slots:
    void statusFollowsTheInputs()
    {
        const auto authorization = platform::MicrophoneAuthorization::createDefault();
        const int expected = QMediaDevices::audioInputs().isEmpty() ? platform::MicrophoneAuthorization::Denied
                                                                    : platform::MicrophoneAuthorization::Authorized;
        QCOMPARE(authorization->authorizationStatus(), expected);
    }

    void requestAnswersOnAnotherThread()
    {
        auto authorization = platform::MicrophoneAuthorization::createDefault();
        const bool expected = authorization->authorizationStatus() == platform::MicrophoneAuthorization::Authorized;
        std::atomic<int> answers{0};
        std::atomic<bool> granted{!expected};
        std::atomic<bool> offMain{false};
        QThread* const main = QThread::currentThread();
        authorization->requestAccess([&](bool answer) {
            granted = answer;
            offMain = QThread::currentThread() != main;
            ++answers;
        });
        QTRY_COMPARE(answers.load(), 1);
        QCOMPARE(granted.load(), expected);
        QVERIFY(offMain.load());
    }

    void pendingAnswersArriveBeforeDestructionEnds()
    {
        std::atomic<int> answers{0};
        {
            auto authorization = platform::MicrophoneAuthorization::createDefault();
            for (int i = 0; i < 3; ++i)
                authorization->requestAccess([&](bool) { ++answers; });
        }
        QCOMPARE(answers.load(), 3);
    }
};

QTEST_MAIN(MicrophoneAuthorizationTest)
#include "test_microphoneauthorization.moc"
