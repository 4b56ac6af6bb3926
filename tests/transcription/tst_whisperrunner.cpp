// WhisperRunner driven through a scripted recogniser: outcomes, the order of
// published changes, the decoding parameters, and how runs share the context.

#include "FakeRecognizer.h"
#include "TestAudio.h"

#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/System.h"
#include "transcription/WhisperRunner.h"

#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

#include <cerrno>
#include <cmath>
#include <cstring>

using Segments = std::vector<std::optional<std::string>>;
Q_DECLARE_METATYPE(Segments)

namespace {

const QString kProcessing = QStringLiteral("Processing audio...");
const QString kPreviousClipboard = QStringLiteral("what the user copied before");

QString confirmation(const QString& text)
{
    return QStringLiteral("✅ Transcription copied to clipboard: \"") + text + u'"';
}

// One line per observable state: transcription, isProcessing, copiedToClipboard and
// the clipboard, so a list of them shows the order in which things changed.
QString state(const QString& transcription, bool processing, bool copied, const QString& clipboard)
{
    return QStringLiteral("%1 | processing=%2 | copied=%3 | clipboard=%4")
        .arg(transcription)
        .arg(processing)
        .arg(copied)
        .arg(clipboard);
}

QString state(const WhisperRunner& runner)
{
    return state(runner.transcription(), runner.isProcessing(), runner.copiedToClipboard(),
                 platform::clipboardText());
}

// The state just before each notification, i.e. before each store.
QStringList* recordStates(WhisperRunner& runner)
{
    auto* states = new QStringList;
    QObject::connect(&runner, &WhisperRunner::objectWillChange, &runner,
                     [states, &runner] { states->append(state(runner)); });
    QObject::connect(&runner, &QObject::destroyed, [states] { delete states; });
    return states;
}

} // namespace

class TestWhisperRunner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void outcomes_data();
    void outcomes();
    void withoutModel();
    void decodingParametersAndSamples();
    void runsNeverShareTheContext();
    void allocationFailureIsABufferError();

private:
    std::unique_ptr<WhisperRunner> makeRunner(const std::shared_ptr<FakeRecognizer::Log>& log)
    {
        return std::make_unique<WhisperRunner>(std::make_unique<FakeRecognizer>(log));
    }

    QTemporaryDir m_dir;
    QString m_modelPath;
    QString m_recording; // 0.5 s of a 440 Hz tone, 16 kHz mono
    std::vector<int16_t> m_recordingSamples;
    QStringList m_lines;
};

void TestWhisperRunner::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_modelPath = m_dir.filePath(QStringLiteral("ggml-base.en.bin"));
    QFile model(m_modelPath);
    QVERIFY(model.open(QIODevice::WriteOnly)); // the fake never reads it
    model.close();
    platform::setResourceSearchPathsForTesting({m_dir.path()});

    m_recording = m_dir.filePath(QStringLiteral("recording.wav"));
    m_recordingSamples = testaudio::sine(16000, 440, 0.5, 8000);
    QVERIFY(testaudio::writeWav(m_recording, 16000, 1, m_recordingSamples));
    QVERIFY(testaudio::writeWav(m_dir.filePath(QStringLiteral("empty.wav")), 16000, 1, {}));

    platform::setLineSinkForTesting([this](const QString& line) { m_lines.append(line); });
}

void TestWhisperRunner::init()
{
    m_lines.clear();
    platform::setClipboardText(kPreviousClipboard);
}

void TestWhisperRunner::cleanupTestCase()
{
    platform::setLineSinkForTesting({});
    platform::setResourceSearchPathsForTesting({});
}

void TestWhisperRunner::outcomes_data()
{
    QTest::addColumn<QString>("recording");
    QTest::addColumn<int>("result");
    QTest::addColumn<Segments>("segments");
    QTest::addColumn<QString>("published");
    QTest::addColumn<bool>("copied");

    const QString missing = m_dir.filePath(QStringLiteral("missing.wav"));
    QTest::newRow("segments joined without separator, then trimmed")
        << m_recording << 0 << Segments{" Hello", " world."} << "Hello world." << true;
    // The user's clipboard is not wiped for nothing.
    QTest::newRow("white space only")
        << m_recording << 0 << Segments{" ", "\n\t "} << "No speech detected" << false;
    QTest::newRow("no segments") << m_recording << 0 << Segments{} << "No speech detected" << false;
    QTest::newRow("only null and empty texts")
        << m_recording << 0 << Segments{std::nullopt, ""} << "No speech detected" << false;
    QTest::newRow("null text skipped, join goes on")
        << m_recording << 0 << Segments{" a", std::nullopt, " b"} << "a b" << true;
    QTest::newRow("inner line break kept")
        << m_recording << 0 << Segments{"\n first line\nsecond line \n"}
        << "first line\nsecond line" << true;
    // "é" split across two segments is rejoined; a stray byte becomes U+FFFD.
    QTest::newRow("bytes that are not UTF-8")
        << m_recording << 0 << Segments{" caf\xC3", "\xA9 ok \xFF!"}
        << QStringLiteral("café ok \uFFFD!") << true;
    QTest::newRow("recogniser failure code")
        << m_recording << -3 << Segments{" never read"}
        << "Error: Failed to process audio (code: -3)" << false;
    QTest::newRow("recording missing")
        << missing << 0 << Segments{" never run"}
        << QStringLiteral("Error loading audio file: Cannot open %1: %2").arg(missing, qt_error_string(ENOENT))
        << false;
    // whisper.cpp would transcribe the previous recording again for no samples.
    QTest::newRow("recording without frames")
        << m_dir.filePath(QStringLiteral("empty.wav")) << 0 << Segments{" the previous recording"}
        << "No speech detected" << false;
}

void TestWhisperRunner::outcomes()
{
    QFETCH(QString, recording);
    QFETCH(int, result);
    QFETCH(Segments, segments);
    QFETCH(QString, published);
    QFETCH(bool, copied);

    auto log = std::make_shared<FakeRecognizer::Log>();
    log->runs = {{result, segments}};
    auto runner = makeRunner(log);
    QVERIFY(m_lines.isEmpty()); // a successful open prints nothing
    QStringList* states = recordStates(*runner);

    runner->transcribe(QUrl::fromLocalFile(recording), QStringLiteral("ggml-base.en"));
    QVERIFY2(states->isEmpty(), "transcribe changed published state synchronously");

    QStringList expected{
        state("", false, false, kPreviousClipboard),
        state("", true, false, kPreviousClipboard),
        state(kProcessing, true, false, kPreviousClipboard),
        state(published, true, false, kPreviousClipboard),
    };
    QStringList expectedLines;
    if (copied) {
        expected << state(published, false, false, published);
        expected << state(published, false, true, published);
        expectedLines << confirmation(published);
    } else {
        expected << state(published, false, false, kPreviousClipboard);
    }
    QTRY_COMPARE(states->size(), expected.size() - 1);
    states->append(state(*runner));
    QCOMPARE(*states, expected);
    QCOMPARE(m_lines, expectedLines);

    const bool recogniserRan = recording == m_recording;
    QCOMPARE(log->params.size(), size_t(recogniserRan ? 1 : 0));
    if (result != 0 || !recogniserRan)
        QCOMPARE(log->segmentReads, 0);
}

void TestWhisperRunner::withoutModel()
{
    auto log = std::make_shared<FakeRecognizer::Log>();
    log->opens = false;
    {
        auto runner = makeRunner(log);
        QCOMPARE(m_lines, QStringList{"Error: Failed to initialize Whisper context"});
        QStringList* states = recordStates(*runner);

        // Every call publishes the text again, and nothing else.
        const QString error = QStringLiteral("Error: Whisper context not initialized");
        runner->transcribe(QUrl::fromLocalFile(m_recording), QString());
        runner->transcribe(QUrl::fromLocalFile(m_recording), QStringLiteral("anything"));
        QVERIFY(states->isEmpty());
        QTRY_COMPARE(states->size(), 2);
        states->append(state(*runner));
        QCOMPARE(*states, (QStringList{state("", false, false, kPreviousClipboard),
                                       state(error, false, false, kPreviousClipboard),
                                       state(error, false, false, kPreviousClipboard)}));
    }
    QCOMPARE(log->openedPaths, std::vector<std::string>{m_modelPath.toStdString()});
    QVERIFY(log->params.empty());
    QVERIFY2(log->events.empty(), "a context that was never opened must not be released");
    QCOMPARE(m_lines.size(), 1);
}

void TestWhisperRunner::decodingParametersAndSamples()
{
    auto log = std::make_shared<FakeRecognizer::Log>();
    {
        auto runner = makeRunner(log);
        runner->transcribe(QUrl::fromLocalFile(m_recording), QStringLiteral("ggml-base.en"));
        QTRY_COMPARE(runner->transcription(), QStringLiteral("No speech detected"));
    }
    QCOMPARE(log->events, (std::vector<std::string>{"full", "free"}));
    QCOMPARE(log->params.size(), size_t(1));

    // Exactly seven fields differ from the library's greedy defaults.
    const whisper_full_params p = log->params.front();
    const whisper_full_params d = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
    QCOMPARE(p.n_threads, platform::activeProcessorCount());
    QCOMPARE(p.translate, false);
    QCOMPARE(p.print_special, false);
    QCOMPARE(p.print_progress, false);
    QCOMPARE(p.print_realtime, false);
    QCOMPARE(p.print_timestamps, false);
    QVERIFY(p.language == nullptr);
#define QUENLO_UNCHANGED(field) QVERIFY2(std::memcmp(&p.field, &d.field, sizeof p.field) == 0, #field)
    QUENLO_UNCHANGED(strategy);
    QUENLO_UNCHANGED(n_max_text_ctx);
    QUENLO_UNCHANGED(offset_ms);
    QUENLO_UNCHANGED(duration_ms);
    QUENLO_UNCHANGED(no_context);
    QUENLO_UNCHANGED(no_timestamps);
    QUENLO_UNCHANGED(single_segment);
    QUENLO_UNCHANGED(token_timestamps);
    QUENLO_UNCHANGED(thold_pt);
    QUENLO_UNCHANGED(thold_ptsum);
    QUENLO_UNCHANGED(max_len);
    QUENLO_UNCHANGED(split_on_word);
    QUENLO_UNCHANGED(max_tokens);
    QUENLO_UNCHANGED(debug_mode);
    QUENLO_UNCHANGED(audio_ctx);
    QUENLO_UNCHANGED(tdrz_enable);
    QUENLO_UNCHANGED(suppress_regex);
    QUENLO_UNCHANGED(initial_prompt);
    QUENLO_UNCHANGED(carry_initial_prompt);
    QUENLO_UNCHANGED(prompt_tokens);
    QUENLO_UNCHANGED(prompt_n_tokens);
    QUENLO_UNCHANGED(detect_language);
    QUENLO_UNCHANGED(suppress_blank);
    QUENLO_UNCHANGED(suppress_nst);
    QUENLO_UNCHANGED(temperature);
    QUENLO_UNCHANGED(max_initial_ts);
    QUENLO_UNCHANGED(length_penalty);
    QUENLO_UNCHANGED(temperature_inc);
    QUENLO_UNCHANGED(entropy_thold);
    QUENLO_UNCHANGED(logprob_thold);
    QUENLO_UNCHANGED(no_speech_thold);
    QUENLO_UNCHANGED(greedy);
    QUENLO_UNCHANGED(beam_search);
    QUENLO_UNCHANGED(new_segment_callback);
    QUENLO_UNCHANGED(progress_callback);
    QUENLO_UNCHANGED(encoder_begin_callback);
    QUENLO_UNCHANGED(abort_callback);
    QUENLO_UNCHANGED(logits_filter_callback);
    QUENLO_UNCHANGED(grammar_rules);
    QUENLO_UNCHANGED(n_grammar_rules);
    QUENLO_UNCHANGED(i_start_rule);
    QUENLO_UNCHANGED(grammar_penalty);
    QUENLO_UNCHANGED(vad);
    QUENLO_UNCHANGED(vad_model_path);
    QUENLO_UNCHANGED(vad_params);
#undef QUENLO_UNCHANGED

    // Every frame of the recording reaches the recogniser, in order, at full scale.
    const std::vector<float>& samples = log->samples.front();
    QCOMPARE(samples.size(), m_recordingSamples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        if (std::abs(samples[i] - m_recordingSamples[i] / 32768.0f) > 1.0f / 32768)
            QFAIL(qPrintable(QStringLiteral("sample %1 is %2, file has %3")
                                 .arg(i).arg(samples[i]).arg(m_recordingSamples[i])));
    }
}

void TestWhisperRunner::runsNeverShareTheContext()
{
    const QUrl url = QUrl::fromLocalFile(m_recording);
    auto log = std::make_shared<FakeRecognizer::Log>();
    log->workTime = std::chrono::milliseconds(30);
    log->runs = {{0, {" one"}}, {0, {" two"}}, {0, {" three"}}};
    {
        auto runner = makeRunner(log);
        QStringList* states = recordStates(*runner);
        for (int i = 0; i < 3; ++i)
            runner->transcribe(url, QString());
        QTRY_COMPARE(states->size(), 3 * 2 + 3 * 3);
        states->append(state(*runner));
        QStringList texts;
        for (const QString& s : *states) {
            const QString text = s.section(QStringLiteral(" | "), 0, 0);
            if (texts.isEmpty() || texts.last() != text)
                texts << text;
        }
        QCOMPARE(texts, (QStringList{"", kProcessing, "one", "two", "three"}));
        QCOMPARE(runner->isProcessing(), false);
    }
    QCOMPARE(log->maxActive, 1);

    // Teardown with runs still queued waits for them before releasing the context;
    // their outcome jobs die with the runner.
    auto second = std::make_shared<FakeRecognizer::Log>();
    second->workTime = std::chrono::milliseconds(30);
    {
        auto runner = makeRunner(second);
        runner->transcribe(url, QString());
        runner->transcribe(url, QString());
    }
    QCOMPARE(second->events, (std::vector<std::string>{"full", "full", "free"}));
    QCoreApplication::processEvents();
}

void TestWhisperRunner::allocationFailureIsABufferError()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("address-space limits do not mix with the address sanitizer");
#endif
    // A 62-minute recording (about 240 MB of samples) under an address-space limit
    // that leaves less room than that.
    const QString longRecording = m_dir.filePath(QStringLiteral("long.wav"));
    QVERIFY(testaudio::writeSparseWav(longRecording, 16000, 60'000'000));

    auto log = std::make_shared<FakeRecognizer::Log>();
    auto runner = makeRunner(log);

    QFile status(QStringLiteral("/proc/self/status"));
    QVERIFY(status.open(QIODevice::ReadOnly));
    rlim_t used = 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmSize:"))
            used = line.mid(7).trimmed().split(' ').value(0).toULongLong() * 1024;
    }
    QVERIFY(used > 0);
    rlimit original{};
    QCOMPARE(getrlimit(RLIMIT_AS, &original), 0);
    rlimit limited = original;
    limited.rlim_cur = used + 96 * 1024 * 1024;
    QCOMPARE(setrlimit(RLIMIT_AS, &limited), 0);
    const auto restore = qScopeGuard([&original] { setrlimit(RLIMIT_AS, &original); });

    runner->transcribe(QUrl::fromLocalFile(longRecording), QString());
    QTRY_VERIFY(runner->transcription() != kProcessing && !runner->isProcessing()
                && !runner->transcription().isEmpty());

    QCOMPARE(runner->transcription(),
             QStringLiteral("Error loading audio file: Failed to create audio buffers"));
    QVERIFY(log->params.empty());
}

QTEST_MAIN(TestWhisperRunner)
#include "tst_whisperrunner.moc"
