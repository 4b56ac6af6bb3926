// WhisperRunner on the real whisper.cpp library with generated model files.

#include "TestAudio.h"
#include "TestModels.h"

#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/System.h"
#include "transcription/WhisperRunner.h"

#include <QTemporaryDir>
#include <QTest>

#include <functional>

namespace {

const QString kModelName = QStringLiteral("ggml-base.en.bin");

// Recognition of a whole model-sized window can take a while on a slow machine.
constexpr int kRunTimeoutMs = 120'000;

bool finished(const WhisperRunner& runner)
{
    return !runner.isProcessing() && !runner.transcription().isEmpty()
           && runner.transcription() != QStringLiteral("Processing audio...");
}

} // namespace

class TestWhisperRunnerReal : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void missingModel();
    void refusedModel_data();
    void refusedModel();
    void emptyBaseEnModelHearsNoSpeech();
    void tinyModelTranscribesToClipboard();

private:
    // Puts a model made by `write` where the runner looks for it (see init()).
    void installModel(const std::function<void(const std::filesystem::path&)>& write)
    {
        write(std::filesystem::path(m_resources.path().toStdString()) / kModelName.toStdString());
    }

    QTemporaryDir m_resources;
    QTemporaryDir m_recordings;
    QStringList m_lines;
};

void TestWhisperRunnerReal::initTestCase()
{
    QVERIFY(m_resources.isValid());
    QVERIFY(m_recordings.isValid());
    platform::setLineSinkForTesting([this](const QString& line) { m_lines.append(line); });
}

void TestWhisperRunnerReal::init()
{
    m_lines.clear();
    QFile::remove(m_resources.filePath(kModelName));
    platform::setResourceSearchPathsForTesting({m_resources.path()});
}

void TestWhisperRunnerReal::cleanupTestCase()
{
    platform::setLineSinkForTesting({});
    platform::setResourceSearchPathsForTesting({});
}

void TestWhisperRunnerReal::missingModel()
{
    WhisperRunner runner;
    QCOMPARE(m_lines, QStringList{"Error: Could not find model file ggml-base.en.bin"});
    QCOMPARE(runner.transcription(), QString());
    QCOMPARE(runner.isProcessing(), false);
    QCOMPARE(runner.copiedToClipboard(), false);
}

void TestWhisperRunnerReal::refusedModel_data()
{
    QTest::addColumn<bool>("truncated");
    QTest::newRow("wrong magic") << false;
    QTest::newRow("weights cut short") << true;
}

void TestWhisperRunnerReal::refusedModel()
{
    QFETCH(bool, truncated);
    installModel(truncated ? testmodels::writeTruncated : testmodels::writeBadMagic);
    WhisperRunner runner;
    QCOMPARE(m_lines, QStringList{"Error: Failed to initialize Whisper context"});

    // No context was kept: transcribing reports it instead of touching the library.
    runner.transcribe(QUrl::fromLocalFile(m_recordings.filePath("none.wav")), QString());
    QTRY_COMPARE(runner.transcription(), QStringLiteral("Error: Whisper context not initialized"));
    QCOMPARE(runner.isProcessing(), false);
}

void TestWhisperRunnerReal::emptyBaseEnModelHearsNoSpeech()
{
    installModel(testmodels::writeHeaderOnlyBaseEn);
    const QString recording = m_recordings.filePath("silence.wav");
    QVERIFY(testaudio::writeWav(recording, 16000, 1, std::vector<int16_t>(2 * 16000, 0)));
    platform::setClipboardText(QStringLiteral("untouched"));

    WhisperRunner runner;
    QCOMPARE(m_lines, QStringList{}); // a successful open prints nothing
    runner.transcribe(QUrl::fromLocalFile(recording), QStringLiteral("ggml-base.en"));
    QTRY_VERIFY_WITH_TIMEOUT(finished(runner), kRunTimeoutMs);
    QCOMPARE(runner.transcription(), QStringLiteral("No speech detected"));
    QCOMPARE(runner.copiedToClipboard(), false);
    QCOMPARE(platform::clipboardText(), QStringLiteral("untouched"));
    QCOMPARE(m_lines, QStringList{});
}

void TestWhisperRunnerReal::tinyModelTranscribesToClipboard()
{
    installModel([](const std::filesystem::path& path) { testmodels::writeTinyRandom(path); });
    const QString recording = m_recordings.filePath("tone.wav");
    QVERIFY(testaudio::writeWav(recording, 16000, 1, testaudio::sine(16000, 300, 0.3, 3 * 16000)));

    WhisperRunner runner;
    QCOMPARE(m_lines, QStringList{});
    for (int run = 0; run < 2; ++run) { // the context serves run after run
        runner.setTranscription(QString());
        runner.setCopiedToClipboard(false);
        platform::setClipboardText(QString());
        m_lines.clear();

        runner.transcribe(QUrl::fromLocalFile(recording), QStringLiteral("ggml-base.en"));
        QTRY_VERIFY_WITH_TIMEOUT(finished(runner), kRunTimeoutMs);
        const QString expected = QString::fromUtf8(testmodels::kTinyRandomText).trimmed();
        QVERIFY(!expected.isEmpty());
        QCOMPARE(runner.transcription(), expected);
        QCOMPARE(runner.copiedToClipboard(), true);
        QCOMPARE(platform::clipboardText(), expected);
        QCOMPARE(m_lines,
                 QStringList{QStringLiteral("✅ Transcription copied to clipboard: \"%1\"").arg(expected)});
    }

    // The library keeps the last spectrogram: a recording without frames must not
    // bring the previous transcript back.
    const QString empty = m_recordings.filePath("empty.wav");
    QVERIFY(testaudio::writeWav(empty, 16000, 1, {}));
    runner.setTranscription(QString());
    runner.setCopiedToClipboard(false);
    m_lines.clear();
    runner.transcribe(QUrl::fromLocalFile(empty), QString());
    QTRY_VERIFY_WITH_TIMEOUT(finished(runner), kRunTimeoutMs);
    QCOMPARE(runner.transcription(), QStringLiteral("No speech detected"));
    QCOMPARE(runner.copiedToClipboard(), false);
    QCOMPARE(m_lines, QStringList{});
}

QTEST_MAIN(TestWhisperRunnerReal)
#include "tst_whisperrunner_real.moc"
