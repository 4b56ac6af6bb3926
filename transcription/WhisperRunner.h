#pragma once

#include "platform/ObservableObject.h"
#include "platform/SerialWorker.h"
#include "transcription/Recognizer.h"

#include <QString>
#include <QUrl>

#include <memory>

// The transcription model: opens the recognition model once, at construction, and
// turns one finished recording at a time into text on a background worker.
// Published state is written on the main thread only: by callers there, and by the
// runner's own jobs, which the worker queues to the main thread.
class WhisperRunner final : public platform::ObservableObject
{
    Q_OBJECT

public:
    // Opens "ggml-base.en.bin" from the resources with the whisper.cpp library.
    explicit WhisperRunner(QObject* parent = nullptr);
    // Same, through `recognizer` (tests script it).
    explicit WhisperRunner(std::unique_ptr<Recognizer> recognizer, QObject* parent = nullptr);
    // Waits for queued transcriptions to finish, then releases the model.
    ~WhisperRunner() override;

    const QString& transcription() const { return m_transcription; }
    void setTranscription(const QString& transcription);
    bool isProcessing() const { return m_isProcessing; }
    void setIsProcessing(bool isProcessing);
    bool copiedToClipboard() const { return m_copiedToClipboard; }
    void setCopiedToClipboard(bool copiedToClipboard);

    // Returns at once; progress and outcome arrive later through the main queue.
    // `modelFileName` has no effect: the model is the one opened at construction.
    void transcribe(const QUrl& audioFileURL, const QString& modelFileName);

private:
    void setupWhisperContext();
    void processAudioFile(const QUrl& audioFileURL, whisper_context* context);
    // Posts the outcome of a run that leaves nothing to copy (a failure, or no
    // speech): `text`, then the end of processing.
    void postFailure(const QString& text);
    // Posts the outcome for a run that succeeded, with its joined, untrimmed text.
    void postResult(const QString& joinedText);
    void copyToClipboard(const QString& text);

    QString m_transcription;
    bool m_isProcessing = false;
    bool m_copiedToClipboard = false;

    std::unique_ptr<Recognizer> m_recognizer;
    // Opened once and never replaced; released in the destructor, after the worker.
    whisper_context* m_context = nullptr;
    // One worker, so two transcriptions never use the context at the same time.
    std::unique_ptr<platform::SerialWorker> m_worker;
};
