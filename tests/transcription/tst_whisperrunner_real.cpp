// WhisperRunner on the real whisper.cpp library with generated model files.

#include "TestAudio.h"
#include "TestModels.h"

#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/System.h"
#include "transcription/WhisperRunner.h"

#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

Q_DECLARE_METATYPE(testmodels::BlankModel)

namespace {

const QString kModelName = QStringLiteral("ggml-base.en.bin");

// Recognition of a whole model-sized window can take a while on a slow machine.
constexpr int kRunTimeoutMs = 120'000;

// The tiny model's bytes, generated once.
const std::string& tinyModel(const QString& scratch)
{
    static const std::string bytes = [&scratch] {
        const std::filesystem::path path = (scratch + QStringLiteral("/tiny-source.bin")).toStdString();
        testmodels::writeTinyRandom(path);
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    return bytes;
}

std::string withI32(std::string bytes, size_t offset, int32_t value)
{
    std::memcpy(bytes.data() + offset, &value, 4);
    return bytes;
}

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
    void damagedModelNeverReachesTheLibrary_data();
    void damagedModelNeverReachesTheLibrary();
    void blankModelsLoad_data();
    void blankModelsLoad();
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

// Damaged copies of the tiny model that, before the check, made the library throw,
// assert, read out of bounds or load an empty model.
void TestWhisperRunnerReal::damagedModelNeverReachesTheLibrary_data()
{
    QTest::addColumn<QByteArray>("model");
    const std::string& tiny = tinyModel(m_recordings.path());
    const auto add = [](const char* name, const std::string& bytes) {
        QTest::newRow(name) << QByteArray::fromStdString(bytes);
    };
    for (size_t cut : {16, 48, 30'000, 64'400, 65'000, 300'000, 600'000})
        add(qPrintable(QStringLiteral("cut at %1").arg(cut)), tiny.substr(0, cut));
    // The first tensor record: the vocabulary ends just before it.
    const size_t tensors = tiny.find("encoder.positional_embedding") - 12 - 8;
    add("cut after the vocabulary", tiny.substr(0, tensors));
    add("cut in the last tensor", tiny.substr(0, tiny.size() - 1));
    add("n_vocab 0", withI32(tiny, 4, 0));
    add("n_audio_state 33", withI32(tiny, 12, 33));
    add("n_audio_head 0", withI32(tiny, 16, 0));
    add("n_text_state 64", withI32(tiny, 28, 64));
    add("n_mels 128", withI32(tiny, 40, 128));
    add("ftype 5", withI32(tiny, 44, 5));
    add("mel bins 0", withI32(tiny, 52, 0));
    add("mel bins -1", withI32(tiny, 52, -1));
    const size_t vocabulary = 56 + 80 * 201 * 4;
    add("vocabulary count -1", withI32(tiny, vocabulary, -1));
    add("first token length 2^31", withI32(tiny, vocabulary + 4, int32_t(0x80000000u)));
    add("tensor n_dims 5", withI32(tiny, tensors, 5));
    add("tensor name length -1", withI32(tiny, tensors + 4, -1));
    add("tensor type 42", withI32(tiny, tensors + 8, 42));
    add("tensor dimension 0", withI32(tiny, tensors + 12, 0));
    add("trailing bytes", tiny + std::string(12, '\0'));
}

void TestWhisperRunnerReal::damagedModelNeverReachesTheLibrary()
{
    QFETCH(QByteArray, model);
    QFile file(m_resources.filePath(kModelName));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(model), model.size());
    file.close();

    WhisperRunner runner;
    QCOMPARE(m_lines, QStringList{"Error: Failed to initialize Whisper context"});
    runner.transcribe(QUrl::fromLocalFile(m_recordings.filePath("none.wav")), QString());
    QTRY_COMPARE(runner.transcription(), QStringLiteral("Error: Whisper context not initialized"));
    QCOMPARE(runner.isProcessing(), false);
    QCOMPARE(m_lines, QStringList{"Error: Failed to initialize Whisper context"});
}

// Full layouts pass the check and open in the library: base.en's own size and types,
// and large-v3's mel bands and vocabulary, which a check tuned to base.en would refuse.
// (Running base.en is left to the benchmark: it is slow under the sanitizers.)
void TestWhisperRunnerReal::blankModelsLoad_data()
{
    QTest::addColumn<testmodels::BlankModel>("shape");
    QTest::addRow("base.en") << testmodels::kBlankBaseEn;
    QTest::addRow("large-v3 shape") << testmodels::kBlankLargeV3Shape;
}

void TestWhisperRunnerReal::blankModelsLoad()
{
    QFETCH(testmodels::BlankModel, shape);
    installModel([&](const std::filesystem::path& path) { testmodels::writeBlank(path, shape); });
    WhisperRunner runner;
    QCOMPARE(m_lines, QStringList{}); // a successful open prints nothing

    // The context is there: the run gets as far as reading the recording.
    runner.transcribe(QUrl::fromLocalFile(m_recordings.filePath("none.wav")), QString());
    QTRY_VERIFY(finished(runner));
    QVERIFY2(runner.transcription().startsWith(QStringLiteral("Error loading audio file: ")),
             qPrintable(runner.transcription()));
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
