// Loading recordings into the recogniser's 16 kHz mono float samples.

#include "TestAudio.h"

#include "transcription/AudioLoader.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cmath>

using transcription::loadAudioFile;

class TestAudioLoader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void recorderFormatIsCopiedSampleForSample();
    void emptyRecording();
    void recordingCutShort();
    void unreadableFiles_data();
    void unreadableFiles();
    void otherRatesAndChannels_data();
    void otherRatesAndChannels();
    void recordingTooLongForTheRecogniser();

private:
    QUrl url(const QString& name) const { return QUrl::fromLocalFile(m_dir.filePath(name)); }
    QTemporaryDir m_dir;
};

void TestAudioLoader::recorderFormatIsCopiedSampleForSample()
{
    // Both ends of the 16-bit range, zero, and a tone; an odd length.
    std::vector<int16_t> frames = testaudio::sine(16000, 440, 0.9, 16000 + 123);
    frames[0] = -32768;
    frames[1] = 32767;
    frames[2] = 0;
    QVERIFY(testaudio::writeWav(m_dir.filePath("mono16k.wav"), 16000, 1, frames));

    platform::Error error;
    const auto samples = loadAudioFile(url("mono16k.wav"), error);
    QVERIFY2(samples, qPrintable(error.description));
    QCOMPARE(samples->size(), frames.size());
    QCOMPARE((*samples)[0], -1.0f);
    for (size_t i = 0; i < frames.size(); ++i) {
        if (std::abs((*samples)[i] - frames[i] / 32768.0f) > 1.0f / 32768)
            QFAIL(qPrintable(QStringLiteral("sample %1: %2 for %3").arg(i).arg((*samples)[i]).arg(frames[i])));
    }
}

void TestAudioLoader::emptyRecording()
{
    QVERIFY(testaudio::writeWav(m_dir.filePath("empty.wav"), 16000, 1, {}));
    platform::Error error;
    const auto samples = loadAudioFile(url("empty.wav"), error);
    QVERIFY2(samples, qPrintable(error.description));
    QVERIFY(samples->empty());
}

void TestAudioLoader::recordingCutShort()
{
    // A recorder stopped hard leaves a header that promises more than the file
    // holds: every frame that is there is kept.
    const std::vector<int16_t> frames = testaudio::sine(16000, 440, 0.5, 1000);
    const QString path = m_dir.filePath("cut.wav");
    QVERIFY(testaudio::writeWav(path, 16000, 1, frames));
    QFile file(path);
    QVERIFY(file.resize(file.size() - 2 * 400));

    platform::Error error;
    const auto samples = loadAudioFile(url("cut.wav"), error);
    QVERIFY2(samples, qPrintable(error.description));
    QCOMPARE(samples->size(), size_t(600));
    for (size_t i = 0; i < samples->size(); ++i)
        QVERIFY(std::abs((*samples)[i] - frames[i] / 32768.0f) <= 1.0f / 32768);
}

void TestAudioLoader::unreadableFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("contents"); // null: no file at all
    QTest::addColumn<QString>("domain");
    QTest::addColumn<QString>("description");

    QTest::newRow("missing") << "missing.wav" << QByteArray() << "QFile"
                             << QStringLiteral("Cannot open %1: %2")
                                    .arg(m_dir.filePath("missing.wav"), qt_error_string(ENOENT));
    QTest::newRow("not audio") << "notes.wav" << QByteArray("these are notes, not sound\n")
                               << "libsndfile"
                               << m_dir.filePath("notes.wav")
                                      + " is not an audio file that can be read: Format not recognised.";
}

void TestAudioLoader::unreadableFiles()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, contents);
    QFETCH(QString, domain);
    QFETCH(QString, description);
    if (!contents.isNull()) {
        QFile file(m_dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }
    platform::Error error;
    QVERIFY(!loadAudioFile(url(name), error));
    QCOMPARE(error.domain, domain);
    QCOMPARE(error.description, description);
}

void TestAudioLoader::otherRatesAndChannels_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");

    QTest::newRow("44.1 kHz stereo") << 44100 << 2;
    QTest::newRow("48 kHz mono") << 48000 << 1;
    QTest::newRow("8 kHz mono") << 8000 << 1;
}

void TestAudioLoader::otherRatesAndChannels()
{
    // 1.5 s of a 440 Hz tone at half scale on channel 0; the other channel carries
    // the inverted tone, which a mix would cancel.
    QFETCH(int, rate);
    QFETCH(int, channels);
    const int64_t frames = rate * 3 / 2;
    const std::vector<int16_t> tone = testaudio::sine(rate, 440, 0.5, frames);
    std::vector<int16_t> interleaved;
    for (int16_t s : tone) {
        interleaved.push_back(s);
        if (channels == 2)
            interleaved.push_back(int16_t(-s));
    }
    QVERIFY(testaudio::writeWav(m_dir.filePath("other.wav"), rate, channels, interleaved));

    platform::Error error;
    const auto samples = loadAudioFile(url("other.wav"), error);
    QVERIFY2(samples, qPrintable(error.description));
    // The whole recording, neither repeated nor cut: 1.5 s at 16 kHz.
    QVERIFY2(std::abs(double(samples->size()) - 24000) <= 1, qPrintable(QString::number(samples->size())));

    // Still the tone: RMS of a half-scale sine, and 440 cycles a second (skipping
    // the resampler's edges).
    double energy = 0;
    int crossings = 0;
    for (size_t i = 1600; i < 22400; ++i) {
        energy += double((*samples)[i]) * (*samples)[i];
        crossings += ((*samples)[i - 1] < 0) != ((*samples)[i] < 0);
    }
    const double rms = std::sqrt(energy / (22400 - 1600));
    QVERIFY2(std::abs(rms - 0.5 / std::sqrt(2.0)) < 0.01, qPrintable(QString::number(rms)));
    QVERIFY2(std::abs(crossings - 2 * 440 * 1.3) <= 4, qPrintable(QString::number(crossings)));
}

void TestAudioLoader::recordingTooLongForTheRecogniser()
{
    // 38 hours at 16 kHz: more samples than the recogniser's signed 32-bit count.
    // At 8 kHz the header fits a WAV, and resampling doubles it.
    QVERIFY(testaudio::writeSparseWav(m_dir.filePath("long.wav"), 8000, 1'100'000'000));
    platform::Error error;
    QVERIFY(!loadAudioFile(url("long.wav"), error));
    QCOMPARE(error.domain, QStringLiteral("WhisperRunner"));
    QCOMPARE(error.code, int(transcription::RecordingTooLong));
    QVERIFY2(error.description.startsWith("The recording is too long"), qPrintable(error.description));
    QFile::remove(m_dir.filePath("long.wav"));
}

QTEST_GUILESS_MAIN(TestAudioLoader)
#include "tst_audioloader.moc"
