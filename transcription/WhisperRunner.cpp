#include "WhisperRunner.h"

#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/Error.h"
#include "platform/MainQueue.h"
#include "platform/System.h"
#include "transcription/AudioLoader.h"

#include <QByteArray>

#include <vector>

WhisperRunner::WhisperRunner(QObject* parent)
    : WhisperRunner(makeWhisperRecognizer(), parent)
{
}

WhisperRunner::WhisperRunner(std::unique_ptr<Recognizer> recognizer, QObject* parent)
    : ObservableObject(parent)
    , m_recognizer(std::move(recognizer))
{
    setupWhisperContext();
    if (m_context)
        m_worker = std::make_unique<platform::SerialWorker>();
}

WhisperRunner::~WhisperRunner()
{
    // Queued and running jobs finish first: none may outlive the context.
    m_worker.reset();
    if (m_context)
        m_recognizer->free(m_context);
}

void WhisperRunner::setTranscription(const QString& transcription)
{
    store(m_transcription, transcription);
}

void WhisperRunner::setIsProcessing(bool isProcessing)
{
    store(m_isProcessing, isProcessing);
}

void WhisperRunner::setCopiedToClipboard(bool copiedToClipboard)
{
    store(m_copiedToClipboard, copiedToClipboard);
}

void WhisperRunner::setupWhisperContext()
{
    const QString path = platform::pathForResource(QStringLiteral("ggml-base.en"), QStringLiteral("bin"));
    if (path.isEmpty()) {
        platform::printLine(QStringLiteral("Error: Could not find model file ggml-base.en.bin"));
        return;
    }
    const whisper_context_params params = m_recognizer->contextDefaultParams();
    m_context = m_recognizer->initFromFile(path.toUtf8().constData(), params);
    if (!m_context)
        platform::printLine(QStringLiteral("Error: Failed to initialize Whisper context"));
}

void WhisperRunner::transcribe(const QUrl& audioFileURL, const QString& /*modelFileName*/)
{
    whisper_context* const context = m_context;
    if (!context) {
        platform::postToMain(this, [this] {
            setTranscription(QStringLiteral("Error: Whisper context not initialized"));
        });
        return;
    }
    // Queued before the background job exists, so it always runs before the outcome.
    platform::postToMain(this, [this] {
        setIsProcessing(true);
        setTranscription(QStringLiteral("Processing audio..."));
    });
    m_worker->post([this, audioFileURL, context] { processAudioFile(audioFileURL, context); });
}

void WhisperRunner::processAudioFile(const QUrl& audioFileURL, whisper_context* context)
{
    platform::Error error;
    std::optional<std::vector<float>> samples = transcription::loadAudioFile(audioFileURL, error);
    if (!samples) {
        postFailure(QStringLiteral("Error loading audio file: ") + error.description);
        return;
    }
    // Given no samples, whisper.cpp keeps the previous call's spectrogram and would
    // transcribe the last recording again. An empty recording holds no speech.
    if (samples->empty()) {
        postResult(QString());
        return;
    }

    const whisper_full_params params =
        decodingParams(m_recognizer->fullDefaultParams(WHISPER_SAMPLING_GREEDY));
    // The loader refuses recordings whose sample count would not fit.
    const int result = m_recognizer->full(context, params, samples->data(), int(samples->size()));
    samples.reset(); // the recording can be large; free it before reading the text
    if (result != 0) {
        postFailure(QStringLiteral("Error: Failed to process audio (code: %1)").arg(result));
        return;
    }

    // Joined as bytes and decoded once, so a character split across two segments
    // survives; bytes that are not UTF-8 become U+FFFD.
    QByteArray joined;
    const int segments = m_recognizer->segmentCount(context);
    for (int i = 0; i < segments; ++i) {
        if (const char* text = m_recognizer->segmentText(context, i))
            joined.append(text);
    }
    postResult(QString::fromUtf8(joined));
}

void WhisperRunner::postFailure(const QString& text)
{
    platform::postToMain(this, [this, text] {
        setTranscription(text);
        setIsProcessing(false);
    });
}

void WhisperRunner::postResult(const QString& joinedText)
{
    // White space alone is no speech either: copying it would wipe the clipboard.
    const QString trimmed = joinedText.trimmed();
    if (trimmed.isEmpty()) {
        postFailure(QStringLiteral("No speech detected"));
        return;
    }
    platform::postToMain(this, [this, trimmed] {
        setTranscription(trimmed);
        setIsProcessing(false);
        copyToClipboard(trimmed);
        setCopiedToClipboard(true);
    });
}

void WhisperRunner::copyToClipboard(const QString& text)
{
    platform::setClipboardText(text);
    platform::printLine(QStringLiteral("✅ Transcription copied to clipboard: \"") + text + u'"');
}
