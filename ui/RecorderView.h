#pragma once

#include "platform/Binding.h"

#include <QElapsedTimer>
#include <QList>
#include <QPlainTextEdit>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>

class AudioRecorder;
class QGraphicsOpacityEffect;
class QLabel;
class QMessageBox;
class QPushButton;
class QVariantAnimation;
class WhisperRunner;

namespace platform {
class MicrophoneAuthorization;
}
namespace recorderview {
class AudioWaveView;
class ScrollableTextView;
}

// The model values the recorder view reads at each render.
struct RecorderViewState
{
    bool isRecording = false;
    bool isProcessing = false;
    bool copiedToClipboard = false;
    float audioLevel = 0.0f;
};

// Everything the recorder view shows for one state, decided without a display.
struct RecorderViewContent
{
    bool showsListening = false;    // panel branch: caption and bars, else the transcript
    QString listeningCaption;       // only while listening
    QString startStopTitle;
    bool startStopEnabled = false;
    QString closeTitle;
    bool closeEnabled = false;
    bool showsConfirmation = false;
    QString confirmationText;
};

RecorderViewContent recorderViewContent(const RecorderViewState& state);

// The recorder window's content: the transcript panel above the Start/Stop and
// Close buttons. It re-renders from the recorder and its own runner after every
// published change of either.
class RecorderView final : public QWidget
{
    Q_OBJECT

public:
    using WhisperRunnerFactory = std::function<std::unique_ptr<WhisperRunner>()>;

    RecorderView(AudioRecorder* recorder, platform::Binding<bool> isShowing, QWidget* parent = nullptr);
    // Seams: the microphone answer and the runner the view builds on first show.
    RecorderView(AudioRecorder* recorder, platform::Binding<bool> isShowing,
                 std::unique_ptr<platform::MicrophoneAuthorization> authorization,
                 WhisperRunnerFactory makeWhisperRunner, QWidget* parent = nullptr);
    ~RecorderView() override;

    // The runner, or null before the view was first shown.
    WhisperRunner* whisperRunner() const { return m_whisperRunner.get(); }
    bool showMicAccessAlert() const { return m_showMicAccessAlert; }

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void pressDefaultButton();
    void handleStartStop();
    void toggleRecording();
    void endRecordingByItself();
    void appear();
    void ensureWhisperRunner();
    void setShowMicAccessAlert(bool show);
    void scheduleRender();
    void render();
    void setListening(bool listening, const QString& caption);
    void moveFocusOutOf(QWidget* leaving);
    void setConfirmationShown(bool shown);
    void layoutContent();

    // The view's state, in this order.
    AudioRecorder* m_recorder;                       // shared, outlives the view
    platform::Binding<bool> m_isShowing;
    std::unique_ptr<WhisperRunner> m_whisperRunner;  // built on first show
    bool m_showMicAccessAlert = false;

    std::unique_ptr<platform::MicrophoneAuthorization> m_authorization;
    WhisperRunnerFactory m_makeWhisperRunner;
    bool m_renderPending = false;
    bool m_listening = false;
    bool m_confirmationShown = false;
    QElapsedTimer m_ownEnd; // since the last recording that ended by itself
    // From a Stop until that transcription's outcome is published, a press starts
    // nothing: the file being transcribed is the one a new recording would replace.
    // Queued until the runner's first update has run, Running until it stops processing.
    enum class Transcription { None, Queued, Running } m_transcription = Transcription::None;

    // Owned through Qt parents.
    QWidget* m_panel = nullptr;
    QWidget* m_branch = nullptr;  // the panel's current branch
    QPointer<recorderview::ScrollableTextView> m_textView;  // in the transcript branch
    QPointer<recorderview::AudioWaveView> m_waveView;       // in the listening branch
    QPushButton* m_startStopButton = nullptr;
    QPushButton* m_closeButton = nullptr;
    QLabel* m_confirmationLine = nullptr;
    QGraphicsOpacityEffect* m_confirmationOpacity = nullptr;
    QVariantAnimation* m_confirmationFade = nullptr;
    QPointer<QMessageBox> m_micAlert;
};

// The recorder view's private views; declared here only so that tests reach them.
namespace recorderview {

// Read-only, selectable transcript with a permanent vertical scroll bar.
class ScrollableTextView final : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit ScrollableTextView(platform::Binding<QString> text, QWidget* parent = nullptr);

    // Brings the shown text up to date with the binding; never writes it.
    void updateFromBinding();

    static bool equalAsText(const QString& a, const QString& b);

private:
    platform::Binding<QString> m_text;
    QString m_shown; // exactly the string last handed to the document
};

// One level bar: a 100-pixel column with the bar standing on its bottom.
class WaveBar final : public QWidget
{
    Q_OBJECT

public:
    explicit WaveBar(double level, QWidget* parent = nullptr);

    double level() const { return m_level; }
    // Eases to the new height when the level changes.
    void setLevel(double level);
    // Takes a level that moved with the phase alone: a running ease heads for it
    // without starting over; otherwise the bar stands at it at once.
    void followLevel(double level);
    // The height being drawn now, during an ease as well.
    double shownHeight() const { return m_shownHeight; }

    static double height(double level);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double m_level;
    double m_shownHeight;
    QVariantAnimation* m_ease; // owned by this
};

// A row of level bars following the input level and a running phase.
class AudioWaveView final : public QWidget
{
    Q_OBJECT

public:
    AudioWaveView(float audioLevel, std::int64_t barCount, QWidget* parent = nullptr);

    float audioLevel() const { return m_audioLevel; }
    void setAudioLevel(float audioLevel);
    std::int64_t barCount() const { return m_barCount; }
    double phase() const { return m_phase; }

    double barLevel(std::int64_t index) const;
    static double barLevel(float audioLevel, double phase, std::int64_t index);

    const QList<WaveBar*>& bars() const { return m_bars; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void setPhase(double phase);
    void updateBars();

    float m_audioLevel;
    std::int64_t m_barCount;
    double m_phase = 0.0;
    QList<WaveBar*> m_bars;           // owned through Qt parents
    QVariantAnimation* m_phaseLoop;   // owned by this
};

} // namespace recorderview
