// Real capture from the default audio input. Inside scripts/test-session.sh that input
// hears whatever is played into the default output, so speech played with espeak-ng
// must come back in the recording file.
#include "capture/AudioRecorder.h"
#include "platform/Console.h"
#include "platform/System.h"
#include "WavInfo.h"

#include <QAudioDevice>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMediaDevices>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

namespace {
const QString sentence = QStringLiteral("The quick brown fox jumps over the lazy dog, twice, and then it rests.");
} // namespace

class AudioCaptureTest : public QObject
{
    Q_OBJECT

    // The tests delete and block the documents folder, so they get a home of their
    // own however they are started.
    QTemporaryDir m_home;

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral(".config"))));
        QCOMPARE(platform::documentsDirectory(), m_home.filePath(QStringLiteral("Documents")));
        platform::setLineSinkForTesting([](const QString&) {});
        const QAudioDevice input = QMediaDevices::defaultAudioInput();
        QVERIFY2(!input.isNull(),
                 qPrintable(QStringLiteral("No sound server with an audio input is reachable (PULSE_SERVER=%1). "
                                           "Run the tests inside scripts/test-session.sh.")
                                .arg(qEnvironmentVariable("PULSE_SERVER", QStringLiteral("unset")))));
        // Only the session's virtual microphone hears what the test plays.
        QVERIFY2(input.id() == "quenlo_mic",
                 qPrintable(QStringLiteral("The default input is \"%1\", not the virtual microphone quenlo_mic. "
                                           "Run the tests inside scripts/test-session.sh.")
                                .arg(input.description())));
        for (const char* tool : {"espeak-ng", "paplay"})
            QVERIFY2(!QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty(),
                     qPrintable(QStringLiteral("%1 is missing; run scripts/setup.sh").arg(QLatin1String(tool))));
    }

    void recordsSpeechIntoTheFile()
    {
        // A fresh account: no documents folder yet.
        QVERIFY(QDir(platform::documentsDirectory()).removeRecursively());
        AudioRecorder recorder;

        QElapsedTimer clock;
        clock.start();
        recorder.startRecording();
        QVERIFY2(recorder.isRecording(), qPrintable(recorder.status()));
        QCOMPARE(recorder.status(), QStringLiteral("Recording..."));

        QProcess speech;
        QProcess player;
        speech.setStandardOutputProcess(&player);
        speech.start(QStringLiteral("espeak-ng"), {QStringLiteral("--stdout"), sentence});
        player.start(QStringLiteral("paplay"), {});
        QTRY_VERIFY2_WITH_TIMEOUT(recorder.audioLevel() > 0.0f, "the meter never rose during speech", 15000);
        // paplay ends once its sound has been played out.
        QTRY_COMPARE_WITH_TIMEOUT(player.state(), QProcess::NotRunning, 30000);
        QCOMPARE(player.exitCode(), 0);

        recorder.stopRecording();
        const double seconds = double(clock.elapsed()) / 1000.0;
        QCOMPARE(recorder.isRecording(), false);
        QCOMPARE(recorder.audioLevel(), 0.0f);
        QCOMPARE(recorder.status(), QStringLiteral("Recording saved"));

        const WavInfo wav = WavInfo::read(recorder.audioFileURL().toLocalFile());
        QVERIFY(wav.readable);
        QCOMPARE(wav.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        QCOMPARE(wav.sampleRate, 16000);
        QCOMPARE(wav.channels, 1);
        QCOMPARE(wav.framesRead, wav.frames);
        const double recorded = double(wav.frames) / 16000.0;
        qInfo("%.3f s recorded in %.3f s, %.1f dBFS", recorded, seconds, wav.rmsDecibels);
        QVERIFY2(std::fabs(recorded - seconds) <= 0.1 * seconds,
                 qPrintable(QStringLiteral("%1 s recorded in %2 s").arg(recorded).arg(seconds)));
        QVERIFY2(wav.rmsDecibels > -50.0 && wav.peak > 0.05,
                 qPrintable(QStringLiteral("silent recording: %1 dB, peak %2").arg(wav.rmsDecibels).arg(wav.peak)));

        // The next start replaces the file instead of appending to it.
        recorder.startRecording();
        QVERIFY(recorder.isRecording());
        recorder.stopRecording();
        const WavInfo again = WavInfo::read(recorder.audioFileURL().toLocalFile());
        QVERIFY(again.readable);
        QVERIFY2(again.frames < wav.frames / 2, qPrintable(QString::number(again.frames)));
    }

    void fileThatCannotBeCreatedFailsTheStart()
    {
        AudioRecorder recorder;
        const QString path = recorder.audioFileURL().toLocalFile();
        QFile::remove(path);
        QVERIFY(QDir().mkpath(path)); // a folder where the file should be
        recorder.startRecording();
        QCOMPARE(recorder.isRecording(), false);
        QVERIFY2(recorder.status().startsWith(QStringLiteral("Failed to start recording: Cannot create the recording file "))
                     && recorder.status().endsWith(QStringLiteral(": Is a directory")),
                 qPrintable(recorder.status()));
        QVERIFY(QDir(path).removeRecursively());
    }

    void killedMidRecordingLeavesAReadableFile()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral(".config")));
        QProcess child;
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QStringLiteral(CAPTURE_RECORD_CHILD), {});
        QVERIFY(child.waitForStarted());

        // Kill once more than a second has reached the file.
        const QString path = home.filePath(QStringLiteral("Documents/recording.wav"));
        QTRY_VERIFY2_WITH_TIMEOUT(WavInfo::read(path).frames > 16000,
                                  qPrintable(QStringLiteral("the child wrote nothing to %1 (state %2, exit %3)")
                                                 .arg(path)
                                                 .arg(child.state())
                                                 .arg(child.exitCode())),
                                  15000);
        const sf_count_t before = WavInfo::read(path).frames;
        child.kill();
        QVERIFY(child.waitForFinished());
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

        const WavInfo wav = WavInfo::read(path);
        QVERIFY(wav.readable);
        QCOMPARE(wav.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        QCOMPARE(wav.sampleRate, 16000);
        QCOMPARE(wav.channels, 1);
        QVERIFY(wav.frames >= before);
        QCOMPARE(wav.framesRead, wav.frames);
        // The header itself accounts for the samples on disk, give or take the write in
        // flight when the kill came.
        QVERIFY(wav.dataOffset > 0);
        const qint64 unaccounted = wav.fileSize - wav.dataOffset - wav.dataSize;
        QVERIFY2(unaccounted >= 0 && unaccounted <= 2 * 4096,
                 qPrintable(QStringLiteral("%1 bytes beyond the header's data size").arg(unaccounted)));
        QCOMPARE(wav.dataSize, 2 * qint64(wav.frames));
        QCOMPARE(wav.riffSize + 8, wav.fileSize - unaccounted);
    }
};

QTEST_GUILESS_MAIN(AudioCaptureTest)
#include "tst_audiocapture.moc"
