// Real capture from the default audio input. Inside scripts/test-session.sh that input
// hears whatever is played into the default output, so speech played with espeak-ng
// must come back in the recording file.
#include "capture/AudioRecorder.h"
#include "platform/Console.h"
#include "platform/System.h"
#include "WavInfo.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <vector>

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
        for (const char* tool : {"espeak-ng", "paplay", "pactl"})
            QVERIFY2(!QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty(),
                     qPrintable(QStringLiteral("%1 is missing; run scripts/setup.sh").arg(QLatin1String(tool))));
        // Only the session's virtual microphone hears what the test plays.
        QProcess pactl;
        pactl.start(QStringLiteral("pactl"), {QStringLiteral("get-default-source")});
        QVERIFY(pactl.waitForFinished());
        const QString input = QString::fromUtf8(pactl.readAllStandardOutput()).trimmed();
        QVERIFY2(pactl.exitCode() == 0 && input == QStringLiteral("quenlo_mic"),
                 qPrintable(QStringLiteral("The default input is \"%1\" (PULSE_SERVER=%2), not the virtual microphone "
                                           "quenlo_mic. Run the tests inside scripts/test-session.sh.")
                                .arg(input, qEnvironmentVariable("PULSE_SERVER", QStringLiteral("unset")))));
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

    // The recording holds the very samples that were played, in step: compared with
    // the played chirp at the best lag, a capture that lost or shifted a byte, swapped
    // bytes or dropped a stretch would not match.
    void recordingMatchesWhatWasPlayed()
    {
        constexpr int rate = 16000;
        std::vector<short> chirp(rate); // one second, 300 Hz rising to 3 kHz
        for (size_t i = 0; i < chirp.size(); ++i) {
            const double t = double(i) / rate;
            chirp[i] = short(12000.0 * std::sin(2.0 * M_PI * (300.0 * t + 0.5 * 2700.0 * t * t)));
        }
        QTemporaryDir dir;
        const QString played = dir.filePath(QStringLiteral("chirp.wav"));
        SF_INFO format{};
        format.samplerate = rate;
        format.channels = 1;
        format.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        // Played with silence either side, so the whole chirp lands inside the
        // recording whatever the latency of the chain.
        std::vector<short> playedSamples(size_t(rate) / 2);
        playedSamples.insert(playedSamples.end(), chirp.begin(), chirp.end());
        playedSamples.resize(playedSamples.size() + size_t(rate) / 2);
        SNDFILE* out = sf_open(QFile::encodeName(played).constData(), SFM_WRITE, &format);
        QVERIFY(out);
        QCOMPARE(sf_write_short(out, playedSamples.data(), sf_count_t(playedSamples.size())),
                 sf_count_t(playedSamples.size()));
        sf_close(out);

        AudioRecorder recorder;
        QElapsedTimer clock;
        clock.start();
        recorder.startRecording();
        QVERIFY2(recorder.isRecording(), qPrintable(recorder.status()));
        QProcess player;
        player.start(QStringLiteral("paplay"), {played});
        QTRY_COMPARE_WITH_TIMEOUT(player.state(), QProcess::NotRunning, 30000);
        QCOMPARE(player.exitCode(), 0);
        recorder.stopRecording();

        const QString path = recorder.audioFileURL().toLocalFile();
        SF_INFO info{};
        SNDFILE* in = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
        QVERIFY(in);
        std::vector<short> heard(size_t(info.frames));
        QCOMPARE(sf_read_short(in, heard.data(), info.frames), info.frames);
        sf_close(in);
        QVERIFY2(heard.size() > chirp.size(), qPrintable(QString::number(heard.size())));

        // Normalised cross-correlation at every lag.
        double chirpEnergy = 0.0;
        for (short v : chirp)
            chirpEnergy += double(v) * v;
        double windowEnergy = 0.0;
        for (size_t i = 0; i < chirp.size(); ++i)
            windowEnergy += double(heard[i]) * heard[i];
        double best = 0.0;
        size_t bestLag = 0;
        for (size_t lag = 0; lag + chirp.size() <= heard.size(); ++lag) {
            if (lag > 0) {
                windowEnergy += double(heard[lag + chirp.size() - 1]) * heard[lag + chirp.size() - 1]
                                - double(heard[lag - 1]) * heard[lag - 1];
            }
            if (windowEnergy <= 0.0)
                continue;
            double dot = 0.0;
            for (size_t i = 0; i < chirp.size(); ++i)
                dot += double(heard[lag + i]) * chirp[i];
            const double correlation = dot / std::sqrt(chirpEnergy * windowEnergy);
            if (correlation > best) {
                best = correlation;
                bestLag = lag;
            }
        }
        qInfo("best correlation %.4f at %.3f s of %.3f s recorded in %.3f s", best, double(bestLag) / rate,
              double(heard.size()) / rate, double(clock.elapsed()) / 1000.0);
        QVERIFY2(best > 0.9, qPrintable(QStringLiteral("the recording matches the played chirp only to %1").arg(best)));
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
