// The real recorder against faults of the sound server and the disk: a server of the
// test's own that is killed and restarted, a server without an input, and a small
// file system that fills up. It runs against PulseAudio and against PipeWire's
// PulseAudio server (QUENLO_TEST_SOUND_SERVER=pipewire), which differ in where a
// stream goes when its source does. Whatever fails, the previous recording or what was
// captured stays readable, and one line says why.
#include "capture/AudioRecorder.h"
#include "platform/Console.h"
#include "platform/System.h"
#include "WavInfo.h"
#include "../support/PrivateServer.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <vector>

namespace {

// A small tmpfs over the documents folder, gone again at the end of the scope.
class SmallDisk
{
public:
    explicit SmallDisk(const QString& path)
        : m_path(path)
    {
        QDir().mkpath(path);
        m_mounted = QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"),
                                                                QStringLiteral("-o"), QStringLiteral("size=200k"),
                                                                QStringLiteral("tmpfs"), path})
                    == 0;
    }
    ~SmallDisk()
    {
        if (m_mounted)
            QProcess::execute(QStringLiteral("umount"), {m_path});
    }
    bool mounted() const { return m_mounted; }
    // Takes every byte still free.
    void fill() const
    {
        QFile filler(m_path + QStringLiteral("/filler"));
        if (!filler.open(QIODevice::WriteOnly))
            return;
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        filler.write("x", 1);
        filler.flush();
    }

private:
    QString m_path;
    bool m_mounted = false;
};

// The recording's samples at full scale 1.0.
std::vector<float> samplesOf(const QString& path)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return {};
    std::vector<float> samples(size_t(info.frames));
    samples.resize(size_t(sf_readf_float(file, samples.data(), info.frames)));
    sf_close(file);
    return samples;
}

// The tone a stretch of a recording holds, from its zero crossings: 0 for silence.
double toneOf(const std::vector<float>& samples, size_t from, size_t count)
{
    double energy = 0.0;
    int crossings = 0;
    for (size_t i = from; i < from + count && i < samples.size(); ++i) {
        energy += double(samples[i]) * samples[i];
        if (i > from && (samples[i - 1] < 0.0f) != (samples[i] < 0.0f))
            ++crossings;
    }
    if (count == 0 || energy / double(count) < 1e-6)
        return 0.0;
    return crossings * 16000.0 / (2.0 * double(count));
}

// Where the sound starts: PipeWire may open a remapped source with a few tens of
// milliseconds of silence, which would make the first window's tone look low.
size_t firstSound(const std::vector<float>& samples)
{
    size_t start = 0;
    while (start < 1600 && start < samples.size() && std::abs(samples[start]) < 1e-3f)
        ++start;
    return start;
}

bool near(double tone, double expected)
{
    return std::abs(tone - expected) < expected * 0.1;
}

// The tones of every tenth of a second, for a failure message.
QString tonesOf(const std::vector<float>& samples)
{
    QStringList tones;
    for (size_t at = 0; at + 1600 <= samples.size(); at += 1600)
        tones << QString::number(qRound(toneOf(samples, at, 1600)));
    return tones.join(u' ');
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class CaptureFaultsTest final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    QStringList m_lines;

    QString documents() const { return platform::documentsDirectory(); }

    QStringList linesStartingWith(const QString& prefix) const
    {
        QStringList found;
        for (const QString& line : m_lines)
            if (line.startsWith(prefix))
                found << line;
        return found;
    }

    // The header accounts exactly for the bytes on disk, so every reader agrees.
    static void verifyHeaderMatchesTheDisk(const WavInfo& wav)
    {
        QVERIFY(wav.readable);
        QCOMPARE(wav.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        QCOMPARE(wav.sampleRate, 16000);
        QCOMPARE(wav.channels, 1);
        QCOMPARE(wav.dataOffset + wav.dataSize, wav.fileSize);
        QCOMPARE(wav.riffSize + 8, wav.fileSize);
        QCOMPARE(wav.dataSize, 2 * qint64(wav.frames));
        QCOMPARE(wav.framesRead, wav.frames);
    }

    // Starts a recording on the private server and waits until it holds half a second.
    void startAndRecordHalfASecond(AudioRecorder& recorder)
    {
        recorder.startRecording();
        QVERIFY2(recorder.isRecording(), qPrintable(recorder.status()));
        const QString path = recorder.audioFileURL().toLocalFile();
        QTRY_VERIFY_WITH_TIMEOUT(WavInfo::read(path).frames >= 8000, 10000);
    }

    // A recording of at least half a second on the private server.
    void recordHalfASecond(AudioRecorder& recorder)
    {
        startAndRecordHalfASecond(recorder);
        recorder.stopRecording();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral(".config"))));
        const QString missing = PrivateServer::missingTool();
        QVERIFY2(missing.isEmpty(), qPrintable(missing + QStringLiteral(" is missing; run scripts/setup.sh")));
    }

    void init()
    {
        m_lines.clear();
        platform::setLineSinkForTesting([this](const QString& line) { m_lines << line; });
    }
    void cleanup()
    {
        platform::setLineSinkForTesting({});
        QDir(documents()).removeRecursively();
    }

    void serverKilledMidRecordingKeepsWhatWasCapturedAndComesBack()
    {
        PrivateServer server;
        QVERIFY(server.start());
        server.use();
        AudioRecorder recorder;
        QSignalSpy ended(&recorder, &AudioRecorder::recordingEndedByItself);
        const QString path = recorder.audioFileURL().toLocalFile();

        startAndRecordHalfASecond(recorder);
        server.kill();

        // One line says why, and the recording ends by itself, once.
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 5000);
        QCOMPARE(linesStartingWith(QStringLiteral("Audio input lost: ")).size(), 1);
        const sf_count_t kept = WavInfo::read(path).frames;
        QTest::qWait(500); // ten meter ticks
        QCOMPARE(m_lines.size(), 1);
        QCOMPARE(ended.size(), 1);

        recorder.stopRecording();
        QCOMPARE(recorder.status(), QStringLiteral("Recording saved"));
        const WavInfo wav = WavInfo::read(path);
        verifyHeaderMatchesTheDisk(wav);
        QCOMPARE(wav.frames, kept);
        QVERIFY(wav.frames >= 8000);
        QVERIFY2(wav.peak > 0.1, qPrintable(QString::number(wav.peak))); // the tone, not silence

        // The server is back: the next start records, in this same process.
        QVERIFY(server.start());
        m_lines.clear();
        recorder.startRecording();
        QVERIFY2(recorder.isRecording(), qPrintable(recorder.status()));
        QTRY_VERIFY_WITH_TIMEOUT(WavInfo::read(path).frames >= 8000 && WavInfo::read(path).frames != kept, 10000);
        recorder.stopRecording();
        verifyHeaderMatchesTheDisk(WavInfo::read(path));
        QCOMPARE(m_lines, QStringList{QStringLiteral("Recording saved to: ") + path});
    }

    void unplugWithAnotherInputLeftRecordsOnFromIt_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("default a microphone") << QStringLiteral("two-inputs");
        // The server sends the stream to the monitor; the recorder takes the other microphone.
        QTest::newRow("default the speakers' monitor") << QStringLiteral("monitor-default");
    }
    void unplugWithAnotherInputLeftRecordsOnFromIt()
    {
        QFETCH(QString, kind);
        PrivateServer server;
        QVERIFY(server.start(kind));
        server.use();
        AudioRecorder recorder;
        QSignalSpy ended(&recorder, &AudioRecorder::recordingEndedByItself);
        const QString path = recorder.audioFileURL().toLocalFile();

        startAndRecordHalfASecond(recorder);
        // The headset heard (a fresh chain may deliver silence at first), then unplugged.
        QTRY_VERIFY_WITH_TIMEOUT(near(toneOf(samplesOf(path), size_t(WavInfo::read(path).frames) - 1600, 1600), 440), 10000);
        QVERIFY(server.unplug(QStringLiteral("private_mic")));
        const sf_count_t atUnplug = WavInfo::read(path).frames;
        // The headset is gone, the other microphone takes over: two more seconds.
        QTRY_VERIFY_WITH_TIMEOUT(WavInfo::read(path).frames >= atUnplug + 32000, 15000);
        QCOMPARE(recorder.isRecording(), true);
        QCOMPARE(ended.size(), 0);
        QCOMPARE(m_lines, QStringList{});
        recorder.stopRecording();

        const std::vector<float> samples = samplesOf(path);
        QVERIFY2(near(toneOf(samples, samples.size() - 8000, 8000), 660), qPrintable(tonesOf(samples)));
        // Not a sample of the speakers' 1 kHz.
        for (size_t at = firstSound(samples); at + 1600 <= samples.size(); at += 1600)
            QVERIFY2(toneOf(samples, at, 1600) < 800, qPrintable(tonesOf(samples)));
    }

    void unplugWithOnlyTheSpeakersLeftEndsTheRecording()
    {
        PrivateServer server;
        QVERIFY(server.start(QStringLiteral("speakers")));
        server.use();
        AudioRecorder recorder;
        QSignalSpy ended(&recorder, &AudioRecorder::recordingEndedByItself);
        const QString path = recorder.audioFileURL().toLocalFile();

        startAndRecordHalfASecond(recorder);
        QVERIFY(server.unplug(QStringLiteral("private_mic")));

        // The server moves the recording to the speakers' monitor; it ends instead.
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 5000);
        QCOMPARE(linesStartingWith(QStringLiteral("Audio input lost: ")).size(), 1);
        QVERIFY2(m_lines.first().contains(QStringLiteral("replays an output")), qPrintable(m_lines.first()));
        const qint64 size = QFileInfo(path).size();
        QTest::qWait(500); // the speakers go on playing: none of it is written
        QCOMPARE(QFileInfo(path).size(), size);
        recorder.stopRecording();

        const std::vector<float> samples = samplesOf(path);
        QVERIFY(samples.size() >= 8000);
        QVERIFY2(near(toneOf(samples, 1600, 3200), 440), qPrintable(tonesOf(samples))); // the microphone, heard
        for (size_t at = firstSound(samples); at + 1600 <= samples.size(); at += 1600) {
            const double tone = toneOf(samples, at, 1600);
            QVERIFY2(tone == 0.0 || near(tone, 440), qPrintable(tonesOf(samples)));
        }
    }

    void startWithTheSpeakersAsDefaultRecordsTheMicrophone()
    {
        PrivateServer server;
        QVERIFY(server.start(QStringLiteral("speakers")));
        bool defaultSet = false;
        server.pactl({QStringLiteral("set-default-source"), QStringLiteral("speakers.monitor")}, &defaultSet);
        QVERIFY(defaultSet);
        server.use();
        AudioRecorder recorder;
        const QString path = recorder.audioFileURL().toLocalFile();
        recordHalfASecond(recorder);

        const std::vector<float> samples = samplesOf(path);
        const size_t start = firstSound(samples);
        QVERIFY(samples.size() >= start + 6400);
        for (size_t at = start; at + 1600 <= samples.size(); at += 1600)
            QVERIFY2(near(toneOf(samples, at, 1600), 440), qPrintable(tonesOf(samples)));
    }

    void failedStartLeavesThePreviousRecordingAsItWas_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no sound server") << QStringLiteral("no server")
                                         << QStringLiteral("Failed to start recording: No audio input is available: ");
        QTest::newRow("input refuses") << QStringLiteral("no input")
                                       << QStringLiteral("Failed to start recording: The audio input could not be started");
        QTest::newRow("only the speakers' monitor") << QStringLiteral("only speakers")
                                                    << QStringLiteral("Failed to start recording: The audio input could not be started");
        QTest::newRow("file cannot be created") << QStringLiteral("full disk")
                                                << QStringLiteral("Failed to start recording: Cannot create the recording file ");
    }
    void failedStartLeavesThePreviousRecordingAsItWas()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        std::unique_ptr<SmallDisk> disk;
        if (fault == QStringLiteral("full disk")) {
            disk = std::make_unique<SmallDisk>(documents());
            QVERIFY2(disk->mounted(), "cannot mount a small tmpfs over the documents folder: the test needs root");
        }
        PrivateServer server;
        QVERIFY(server.start());
        server.use();
        AudioRecorder recorder;
        const QString path = recorder.audioFileURL().toLocalFile();
        recordHalfASecond(recorder);
        const QByteArray previous = contents(path);
        QVERIFY(previous.size() > 16000);

        if (fault == QStringLiteral("no server")) {
            server.kill();
        } else if (fault == QStringLiteral("no input")) {
            server.kill();
            QVERIFY(server.start(QStringLiteral("silent")));
        } else if (fault == QStringLiteral("only speakers")) {
            server.kill();
            QVERIFY(server.start(QStringLiteral("speakers")));
            QVERIFY(server.unplug(QStringLiteral("private_mic")));
        } else {
            disk->fill();
        }
        m_lines.clear();
        recorder.startRecording();

        QCOMPARE(recorder.isRecording(), false);
        QVERIFY2(recorder.status().startsWith(reason), qPrintable(recorder.status()));
        QCOMPARE(m_lines.size(), 1);
        if (fault == QStringLiteral("full disk"))
            QVERIFY2(recorder.status().endsWith(QStringLiteral(": No space left on device")), qPrintable(recorder.status()));
        QVERIFY(contents(path) == previous);
        // Nothing half-made is left beside it.
        QDir folder(documents());
        folder.setFilter(QDir::Files | QDir::Hidden);
        QStringList names = folder.entryList();
        names.removeAll(QStringLiteral("filler"));
        QCOMPARE(names, QStringList{QStringLiteral("recording.wav")});
    }

    void fullDiskEndsTheRecordingWithAHeaderThatMatches()
    {
        SmallDisk disk(documents());
        QVERIFY2(disk.mounted(), "cannot mount a small tmpfs over the documents folder: the test needs root");
        PrivateServer server;
        QVERIFY(server.start());
        server.use();
        AudioRecorder recorder;
        QSignalSpy ended(&recorder, &AudioRecorder::recordingEndedByItself);
        const QString path = recorder.audioFileURL().toLocalFile();

        recorder.startRecording();
        QVERIFY2(recorder.isRecording(), qPrintable(recorder.status()));
        // 200 KiB hold about six seconds.
        const QString expected =
            QStringLiteral("Cannot write the recording file %1: No space left on device").arg(path);
        QTRY_VERIFY_WITH_TIMEOUT(m_lines.contains(expected), 30000);
        const qint64 size = QFileInfo(path).size();
        QTest::qWait(500); // ten meter ticks
        QCOMPARE(m_lines, QStringList{expected});
        QCOMPARE(QFileInfo(path).size(), size); // no more writes
        QCOMPARE(ended.size(), 1);

        recorder.stopRecording();
        QCOMPARE(recorder.status(), QStringLiteral("Recording saved"));
        const WavInfo wav = WavInfo::read(path);
        verifyHeaderMatchesTheDisk(wav);
        QVERIFY2(wav.fileSize > 150 * 1024 && wav.fileSize <= 200 * 1024, qPrintable(QString::number(wav.fileSize)));
        QVERIFY(wav.peak > 0.1);
    }
};

QTEST_GUILESS_MAIN(CaptureFaultsTest)
#include "tst_capturefaults.moc"
