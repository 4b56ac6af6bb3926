// The recorder model against a scripted platform recorder, the level map, the power
// meter and the WAV writer. No sound server needed.
#include "capture/AudioInputRecorder.h"
#include "capture/AudioRecorder.h"
#include "capture/PowerMeter.h"
#include "capture/WavFileWriter.h"
#include "platform/Console.h"
#include "WavInfo.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace {

// Everything the scripted recorders were asked, in order, plus what they answer.
struct Script
{
    QStringList calls;
    int queries = 0; // of isRecording(): one per start and one per meter tick
    int meterReadings = 0;
    int alive = 0;
    bool refuseToRecord = false;
    bool inputLost = false;
    float power = -30.0f;
    // When set, the next creation fails with this error.
    std::optional<platform::Error> failNext;
};

class ScriptedRecorder final : public PlatformRecorder
{
public:
    ScriptedRecorder(std::shared_ptr<Script> script, int id)
        : m_script(std::move(script))
        , m_id(id)
    {
        ++m_script->alive;
    }
    ~ScriptedRecorder() override { --m_script->alive; }

    void record() override
    {
        m_script->calls << QStringLiteral("record %1").arg(m_id);
        m_recording = !m_script->refuseToRecord;
    }
    void stop() override
    {
        m_script->calls << QStringLiteral("stop %1").arg(m_id);
        m_recording = false;
    }
    bool isRecording() const override
    {
        ++m_script->queries;
        return m_recording && !m_script->inputLost;
    }
    void updateMeters() override { ++m_script->meterReadings; }
    float averagePower(int channel) const override { return channel == 0 ? m_script->power : NAN; }

private:
    std::shared_ptr<Script> m_script;
    int m_id;
    bool m_recording = false;
};

PlatformRecorderFactory scriptedFactory(const std::shared_ptr<Script>& script)
{
    return [script, created = 0](const QUrl& url, platform::Error& error) mutable
               -> std::unique_ptr<PlatformRecorder> {
        script->calls << QStringLiteral("create %1").arg(url.fileName());
        if (script->failNext) {
            error = *std::exchange(script->failNext, std::nullopt);
            return nullptr;
        }
        return std::make_unique<ScriptedRecorder>(script, ++created);
    };
}

// The published values as one objectWillChange saw them, i.e. before the store.
struct Snapshot
{
    bool isRecording;
    float audioLevel;
    QString status;
    bool operator==(const Snapshot&) const = default;
};

} // namespace

class AudioRecorderTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home; // the documents folder lives here, whoever starts the test
    QStringList m_lines;
    std::vector<Snapshot> m_seen;

    void observe(AudioRecorder& recorder)
    {
        connect(&recorder, &AudioRecorder::objectWillChange, this, [this, &recorder] {
            m_seen.push_back({recorder.isRecording(), recorder.audioLevel(), recorder.status()});
        });
    }
    static QString savedLine(const AudioRecorder& recorder)
    {
        return QStringLiteral("Recording saved to: ") + recorder.audioFileURL().toLocalFile();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral(".config"))));
    }

    void init()
    {
        m_lines.clear();
        m_seen.clear();
        platform::setLineSinkForTesting([this](const QString& line) { m_lines << line; });
    }
    void cleanup() { platform::setLineSinkForTesting({}); }

    void levelMap_data()
    {
        QTest::addColumn<float>("decibels");
        QTest::addColumn<float>("level");
        constexpr float inf = std::numeric_limits<float>::infinity();
        QTest::newRow("-160 dB") << -160.0f << 0.0f;
        QTest::newRow("-60 dB") << -60.0f << 0.0f;
        QTest::newRow("-inf") << -inf << 0.0f;
        QTest::newRow("-45 dB") << -45.0f << 0.25f;
        QTest::newRow("-30 dB") << -30.0f << 0.5f;
        QTest::newRow("0 dB") << 0.0f << 1.0f;
        QTest::newRow("+6 dB") << 6.0f << 1.0f;
        QTest::newRow("+inf") << inf << 1.0f;
        QTest::newRow("NaN") << std::numeric_limits<float>::quiet_NaN() << 1.0f;
        // Rounds to 0x1.4d9d98p-1 when the sum and quotient are done in double.
        QTest::newRow("float arithmetic") << -0x1.4e7882p+4f << 0x1.4d9d9ap-1f;
    }
    void levelMap()
    {
        QFETCH(float, decibels);
        QFETCH(float, level);
        const float got = levelForAveragePower(decibels);
        QVERIFY2(got == level, qPrintable(QString::number(double(got), 'a')));
    }

    void powerMeterReadsFullScaleAndSilence()
    {
        PowerMeter meter;
        QCOMPARE(meter.take(), PowerMeter::silence); // nothing heard yet

        const std::vector<qint16> zeros(800, 0);
        meter.add(zeros.data(), qsizetype(zeros.size()));
        QCOMPARE(meter.take(), -160.0f);

        const std::vector<qint16> fullScale(800, qint16(-32768));
        meter.add(fullScale.data(), qsizetype(fullScale.size()));
        QCOMPARE(meter.take(), 0.0f);

        // Half amplitude is 6.02 dB down; a reading covers only what came since the last.
        std::vector<qint16> half(800);
        for (size_t i = 0; i < half.size(); ++i)
            half[i] = i % 2 ? qint16(16384) : qint16(-16384);
        meter.add(half.data(), qsizetype(half.size()));
        QVERIFY(std::fabs(meter.take() - -6.0206f) < 0.001f);

        // A tick between two buffers repeats the last reading instead of dropping to silence.
        QVERIFY(std::fabs(meter.take() - -6.0206f) < 0.001f);
    }

    void wavFileStaysReadableWhileItGrows()
    {
        QTemporaryDir dir;
        // A fresh account has no documents folder: it is created on the way.
        const QString path = dir.filePath(QStringLiteral("Documents/nested/recording.wav"));
        platform::Error error;
        auto writer = WavFileWriter::create(path, error);
        QVERIFY2(writer, qPrintable(error.description));
        // Written under a hidden name until published.
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(writer->publish(error));
        QVERIFY(QFileInfo::exists(path));

        std::vector<qint16> samples(1000);
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = qint16(i * 31);
        QVERIFY(writer->write(samples.data(), qsizetype(samples.size())));

        // Read while the writer still holds the file open, as after a crash.
        WavInfo info = WavInfo::read(path);
        QVERIFY(info.readable);
        QCOMPARE(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        QCOMPARE(info.sampleRate, 16000);
        QCOMPARE(info.channels, 1);
        QCOMPARE(info.frames, sf_count_t(1000));
        QCOMPARE(info.framesRead, sf_count_t(1000));
        QCOMPARE(info.dataSize, 2000);
        QCOMPARE(info.dataOffset + info.dataSize, info.fileSize);
        QCOMPARE(info.riffSize + 8, info.fileSize);
        QCOMPARE(QFileInfo(path).permissions() & QFile::ReadOther, QFile::ReadOther);

        QVERIFY(writer->write(samples.data(), 500));
        info = WavInfo::read(path);
        QCOMPARE(info.framesRead, sf_count_t(1500));
        QCOMPARE(info.dataSize, 3000);
        QCOMPARE(info.riffSize + 8, info.fileSize);
        std::vector<short> back(1500);
        SF_INFO sf{};
        SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &sf);
        QVERIFY(file);
        QCOMPARE(sf_read_short(file, back.data(), 1500), sf_count_t(1500));
        sf_close(file);
        QVERIFY(std::equal(samples.begin(), samples.end(), back.begin()));
        QVERIFY(std::equal(samples.begin(), samples.begin() + 500, back.begin() + 1000));

        writer->close();
        QVERIFY(!writer->write(samples.data(), 10));
        QCOMPARE(WavInfo::read(path).frames, sf_count_t(1500));

        // The next recording replaces the file only once published.
        writer = WavFileWriter::create(path, error);
        QVERIFY(writer);
        QVERIFY(writer->write(samples.data(), 200));
        QCOMPARE(WavInfo::read(path).frames, sf_count_t(1500));
        QVERIFY(writer->publish(error));
        writer.reset();
        QCOMPARE(WavInfo::read(path).frames, sf_count_t(200));
        // An unpublished file leaves nothing behind.
        writer = WavFileWriter::create(path, error);
        QVERIFY(writer);
        QVERIFY(writer->write(samples.data(), 300));
        writer.reset();
        QCOMPARE(QDir(QFileInfo(path).path()).entryList(QDir::Files | QDir::Hidden), QStringList{"recording.wav"});
        QCOMPARE(WavInfo::read(path).frames, sf_count_t(200));
    }

    // The file system refuses more bytes part way through a write, as a full disk
    // does: the writer stops, cuts the half sample, and the header matches the disk.
    void failedWriteEndsTheFileWithAMatchingHeader()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("recording.wav"));
        platform::Error error;
        auto writer = WavFileWriter::create(path, error);
        QVERIFY2(writer, qPrintable(error.description));
        QVERIFY(writer->publish(error));
        QVERIFY(writer->writeError().isEmpty());

        std::vector<qint16> samples(4000);
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = qint16(i * 7 - 9000);
        QVERIFY(writer->write(samples.data(), 1000));

        // An odd limit: the refused write leaves half a sample on disk first.
        constexpr rlim_t limit = 5001;
        rlimit before{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &before), 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = before;
        small.rlim_cur = limit;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        const bool wrote = writer->write(samples.data(), 4000);
        const bool wroteAgain = writer->write(samples.data(), 10);
        setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, previousHandler);

        QVERIFY(!wrote);
        QVERIFY(!wroteAgain); // the first failure ends the file
        QCOMPARE(writer->writeError(), QString::fromLocal8Bit(std::strerror(EFBIG)));
        QCOMPARE(writer->dataBytes(), qint64(limit - 1 - WavFileWriter::headerSize));
        // Refused even once the disk has room again: later samples would leave a gap.
        QVERIFY(!writer->write(samples.data(), 10));
        writer.reset();

        const WavInfo info = WavInfo::read(path);
        QVERIFY(info.readable);
        QCOMPARE(info.fileSize, qint64(limit - 1));
        QCOMPARE(info.dataOffset + info.dataSize, info.fileSize);
        QCOMPARE(info.riffSize + 8, info.fileSize);
        QCOMPARE(info.frames, sf_count_t(info.dataSize / 2));
        QCOMPARE(info.framesRead, info.frames);
        std::vector<short> back(size_t(info.frames));
        SF_INFO sf{};
        SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &sf);
        QVERIFY(file);
        QCOMPARE(sf_read_short(file, back.data(), info.frames), info.frames);
        sf_close(file);
        QVERIFY(std::equal(samples.begin(), samples.begin() + 1000, back.begin()));
        QVERIFY(std::equal(back.begin() + 1000, back.end(), samples.begin()));
    }

    void fileThatCannotBeCreatedIsRefusedWithTheReason_data()
    {
        QTest::addColumn<QString>("blocker");
        QTest::addColumn<QString>("reason");
        QTest::newRow("documents folder is a file") << QStringLiteral("Documents") << QStringLiteral("Not a directory");
        QTest::newRow("recording is a folder") << QStringLiteral("Documents/recording.wav/")
                                               << QStringLiteral("Is a directory");
    }
    void fileThatCannotBeCreatedIsRefusedWithTheReason()
    {
        QFETCH(QString, blocker);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        if (blocker.endsWith(u'/')) {
            QVERIFY(QDir().mkpath(dir.filePath(blocker)));
        } else {
            QFile file(dir.filePath(blocker));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        const QString path = dir.filePath(QStringLiteral("Documents/recording.wav"));
        platform::Error error;
        QVERIFY(!WavFileWriter::create(path, error));
        QCOMPARE(error.domain, QStringLiteral("AudioRecorder"));
        QCOMPARE(error.code, 2);
        QCOMPARE(error.description, QStringLiteral("Cannot create the recording file %1: %2").arg(path, reason));
    }

    // Reads from the input come in any size; a sample split between two reads must
    // come out whole, in order.
    void samplesSplitBetweenReadsStayWhole()
    {
        std::vector<qint16> played(997);
        for (size_t i = 0; i < played.size(); ++i)
            played[i] = qint16((i * 2654435761u) >> 16);
        const QByteArray bytes(reinterpret_cast<const char*>(played.data()), qsizetype(played.size() * 2));
        for (const qsizetype chunk : {qsizetype(1), qsizetype(3), qsizetype(7), qsizetype(1599), qsizetype(2048)}) {
            std::vector<qint16> got;
            QByteArray carry;
            for (qsizetype at = 0; at < bytes.size(); at += chunk)
                appendSamples(got, carry, QByteArrayView(bytes).sliced(at, std::min(chunk, bytes.size() - at)));
            QVERIFY2(got == played, qPrintable(QStringLiteral("reads of %1 bytes").arg(chunk)));
            QVERIFY(carry.isEmpty());
        }
        // A trailing half sample waits and is not invented.
        std::vector<qint16> got;
        QByteArray carry;
        appendSamples(got, carry, QByteArrayView(bytes).first(5));
        QCOMPARE(got.size(), size_t(2));
        QCOMPARE(carry.size(), 1);
    }

    void stopOnAFreshObjectPublishesTheIdleState()
    {
        auto script = std::make_shared<Script>();
        AudioRecorder recorder(scriptedFactory(script));
        const QString documents = m_home.filePath(QStringLiteral("Documents"));
        QCOMPARE(recorder.audioFileURL(), QUrl::fromLocalFile(documents + QStringLiteral("/recording.wav")));
        observe(recorder);

        recorder.stopRecording();

        QVERIFY(!QFileInfo::exists(documents)); // nothing is created without a recording
        QCOMPARE(recorder.isRecording(), false);
        QCOMPARE(recorder.audioLevel(), 0.0f);
        QCOMPARE(recorder.status(), QStringLiteral("Recording saved"));
        QCOMPARE(m_lines, QStringList{savedLine(recorder)});
        QVERIFY(script->calls.isEmpty());
        // Three stores, each announced although two of them change nothing.
        const Snapshot initial{false, 0.0f, QStringLiteral("Ready to record")};
        QCOMPARE(m_seen, (std::vector<Snapshot>{initial, initial, initial}));
    }

    void startAndStopAnnounceEachStoreBeforeIt()
    {
        auto script = std::make_shared<Script>();
        AudioRecorder recorder(scriptedFactory(script));
        observe(recorder);

        recorder.startRecording();
        QCOMPARE(recorder.isRecording(), true);
        QCOMPARE(recorder.status(), QStringLiteral("Recording..."));
        QCOMPARE(script->calls, (QStringList{"create recording.wav", "record 1"}));

        // -30 dB from the recorder is half scale on the meter.
        QTRY_COMPARE(recorder.audioLevel(), 0.5f);
        recorder.stopRecording();
        QCOMPARE(script->calls.last(), QStringLiteral("stop 1"));
        QCOMPARE(script->alive, 1); // the stopped recorder is kept

        const QString ready = QStringLiteral("Ready to record");
        const QString recording = QStringLiteral("Recording...");
        const std::vector<Snapshot> expected{
            {false, 0.0f, ready},     // isRecording = true
            {true, 0.0f, ready},      // status = "Recording..."
            {true, 0.0f, recording},  // audioLevel = 0
            {true, 0.0f, recording},  // audioLevel = 0.5 from the first tick
        };
        QVERIFY(m_seen.size() >= expected.size() + 3);
        QCOMPARE(std::vector<Snapshot>(m_seen.begin(), m_seen.begin() + 4), expected);
        // Each further tick announces its equal value again; then the three stores of the stop.
        const std::vector<Snapshot> stop{{true, 0.5f, recording}, {false, 0.5f, recording}, {false, 0.0f, recording}};
        QCOMPARE(std::vector<Snapshot>(m_seen.end() - 3, m_seen.end()), stop);
        QCOMPARE(recorder.status(), QStringLiteral("Recording saved"));
        QCOMPARE(m_lines, QStringList{savedLine(recorder)});
    }

    void failedStartAfterASuccessChangesOnlyTheStatus_data()
    {
        QTest::addColumn<bool>("refused");
        QTest::newRow("recorder cannot be created") << false;
        QTest::newRow("input refuses to start") << true;
    }
    void failedStartAfterASuccessChangesOnlyTheStatus()
    {
        QFETCH(bool, refused);
        auto script = std::make_shared<Script>();
        AudioRecorder recorder(scriptedFactory(script));
        recorder.startRecording();
        recorder.stopRecording();

        platform::Error error{QStringLiteral("AudioRecorder"), 3,
                              QStringLiteral("The audio input could not be started")};
        QStringList calls{"create recording.wav"};
        if (refused) {
            script->refuseToRecord = true;
            calls << "record 2" << "stop 2"; // the refused recorder's file is finished
        } else {
            // The real file error: the documents folder is a plain file.
            QTemporaryDir dir;
            QFile blocker(dir.filePath(QStringLiteral("Documents")));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            blocker.close();
            const QString path = dir.filePath(QStringLiteral("Documents/recording.wav"));
            QVERIFY(!WavFileWriter::create(path, error));
            QCOMPARE(error.description,
                     QStringLiteral("Cannot create the recording file %1: Not a directory").arg(path));
            QCOMPARE(error.code, 2);
            script->failNext = error;
        }
        script->calls.clear();
        m_lines.clear();
        observe(recorder);

        recorder.startRecording();

        QCOMPARE(recorder.isRecording(), false);
        QCOMPARE(recorder.audioLevel(), 0.0f);
        QCOMPARE(recorder.status(), QStringLiteral("Failed to start recording: ") + error.description);
        QCOMPARE(m_lines, QStringList{QStringLiteral("Failed to start recording: Error Domain=AudioRecorder Code=%1 \"%2\"")
                                          .arg(error.code)
                                          .arg(error.description)});
        QCOMPARE(m_seen.size(), size_t(1)); // the status alone
        QCOMPARE(script->calls, calls);
        QCOMPARE(script->alive, 1);
        // No timer started: no tick in three tick periods.
        const int queries = script->queries;
        QTest::qWait(150);
        QCOMPARE(script->queries, queries);
        // The earlier recorder is the one kept.
        recorder.stopRecording();
        QCOMPARE(script->calls.last(), QStringLiteral("stop 1"));
    }

    void meterTicksTwentyTimesASecondUntilTheStop()
    {
        auto script = std::make_shared<Script>();
        AudioRecorder recorder(scriptedFactory(script));
        recorder.startRecording();
        // A second start finishes the running recording before it opens the file again,
        // and still leaves one timer.
        recorder.startRecording();
        QCOMPARE(script->calls,
                 (QStringList{"create recording.wav", "record 1", "stop 1", "create recording.wav", "record 2"}));
        QCOMPARE(script->alive, 1);
        QCOMPARE(m_lines, QStringList{savedLine(recorder)});
        QCOMPARE(recorder.isRecording(), true);

        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(script->meterReadings >= 20, 10000);
        const qint64 elapsed = clock.elapsed();
        // Twenty ticks take a second with one 50 ms timer, half that with two.
        QVERIFY2(elapsed >= 900, qPrintable(QStringLiteral("20 ticks in %1 ms").arg(elapsed)));
        QVERIFY2(elapsed < 3000, qPrintable(QStringLiteral("20 ticks in %1 ms").arg(elapsed)));

        recorder.stopRecording();
        const int queries = script->queries;
        QTest::qWait(200); // four tick periods
        QCOMPARE(script->queries, queries);
    }

    void lostInputEndsOnceAndPublishesNoLevel()
    {
        auto script = std::make_shared<Script>();
        script->power = 0.0f;
        AudioRecorder recorder(scriptedFactory(script));
        QSignalSpy ended(&recorder, &AudioRecorder::recordingEndedByItself);
        recorder.startRecording();
        QCOMPARE(recorder.isRecording(), true);
        script->inputLost = true; // the sound server went away mid-recording
        QTRY_COMPARE(ended.size(), 1);
        QCOMPARE(recorder.isRecording(), true); // the driver stops it, as a press would
        QTest::qWait(200);                      // four tick periods: no second word
        QCOMPARE(ended.size(), 1);
        QCOMPARE(script->meterReadings, 0);
        QCOMPARE(recorder.audioLevel(), 0.0f);
        recorder.stopRecording();
        QCOMPARE(script->calls.last(), QStringLiteral("stop 1"));
        QCOMPARE(m_lines, QStringList{savedLine(recorder)});
    }

    void finishingTheFileAtExitChangesNoState()
    {
        auto script = std::make_shared<Script>();
        AudioRecorder recorder(scriptedFactory(script));
        recorder.startRecording();
        m_seen.clear();
        observe(recorder);
        recorder.finishRecordingFile();
        QCOMPARE(script->calls.last(), QStringLiteral("stop 1"));
        QVERIFY(m_seen.empty());
        QCOMPARE(m_lines, QStringList{});
        const int queries = script->queries;
        QTest::qWait(200); // no tick after it
        QCOMPARE(script->queries, queries);
    }
};

QTEST_GUILESS_MAIN(AudioRecorderTest)
#include "tst_audiorecorder.moc"
