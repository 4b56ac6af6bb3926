#include "RecorderView.h"

#include "capture/AudioRecorder.h"
#include "platform/MainQueue.h"
#include "platform/MicrophoneAuthorization.h"
#include "transcription/WhisperRunner.h"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QLinearGradient>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QShortcut>
#include <QShowEvent>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr int kViewWidth = 480;
constexpr int kViewHeight = 296;
constexpr int kPadding = 20;
constexpr int kOuterSpacing = 20;
constexpr int kLowerSpacing = 6;
constexpr int kRowSpacing = 16;
constexpr int kButtonWidth = 80;
constexpr int kButtonHeight = 32;
constexpr int kPanelPadding = 12;
constexpr int kPanelMinContentHeight = 180;
constexpr qreal kPanelRadius = 8;
constexpr int kListeningSpacing = 12;
constexpr int kBarCount = 24;
// A press this soon after a recording ended by itself was meant for the Stop the
// user was still looking at, not for a new recording.
constexpr qint64 kPressAfterOwnEndMs = 1000;
constexpr int kBarWidth = 6;
constexpr int kBarSpacing = 4;
constexpr int kBarColumnHeight = 100;
constexpr double kBarMinHeight = 4;
constexpr qreal kBarRadius = 2;
constexpr int kBarEaseMs = 80;
constexpr int kPhaseLoopMs = 1500;
constexpr int kPanelSwitchMs = 200;
constexpr int kConfirmationFadeMs = 200;

// The engine ignores the name and always uses the model it opened.
const QString kModelFileName = QStringLiteral("ggml-base.en");

QString text(const char* key)
{
    return QCoreApplication::translate("RecorderView", key);
}

QFont systemFont(int pixelSize, QFont::Weight weight)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

void useSecondaryColour(QWidget* widget)
{
    QPalette palette = widget->palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::WindowText, palette.color(group, QPalette::PlaceholderText));
    widget->setPalette(palette);
}

QColor withOpacity(QColor colour, qreal opacity)
{
    colour.setAlphaF(colour.alphaF() * opacity);
    return colour;
}

// The rounded box that holds either the listening display or the transcript;
// each branch fills the box inside its margin.
class TranscriptPanel final : public QWidget
{
public:
    explicit TranscriptPanel(QWidget* parent)
        : QWidget(parent)
    {
        setContentsMargins(kPanelPadding, kPanelPadding, kPanelPadding, kPanelPadding);
        setMinimumHeight(kPanelMinContentHeight + 2 * kPanelPadding);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath box;
        box.addRoundedRect(QRectF(rect()), kPanelRadius, kPanelRadius);
        painter.fillPath(box, palette().color(QPalette::Base));

        QPen edge(withOpacity(palette().color(QPalette::PlaceholderText), 0.2), 1, Qt::SolidLine,
                  Qt::FlatCap, Qt::MiterJoin);
        edge.setMiterLimit(10);
        painter.setPen(edge);
        painter.setBrush(Qt::NoBrush);
        // Half a pixel in, so the whole line stays inside the widget.
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kPanelRadius, kPanelRadius);
    }

    void resizeEvent(QResizeEvent*) override
    {
        for (QObject* child : children()) {
            if (auto* widget = qobject_cast<QWidget*>(child))
                widget->setGeometry(contentsRect());
        }
    }
};

} // namespace

RecorderViewContent recorderViewContent(const RecorderViewState& state)
{
    RecorderViewContent content;
    content.showsListening = state.isRecording;
    if (content.showsListening) {
        content.listeningCaption = text("Listening\u2026");
    }
    content.startStopTitle = state.isRecording ? text("Stop") : text("Start");
    content.startStopEnabled = !state.isProcessing;
    content.closeTitle = text("Close");
    content.closeEnabled = !(state.isRecording || state.isProcessing);
    content.showsConfirmation = state.copiedToClipboard;
    content.confirmationText = text("Copied to clipboard");
    return content;
}

// --- RecorderView ----------------------------------------------------------

RecorderView::RecorderView(AudioRecorder* recorder, platform::Binding<bool> isShowing, QWidget* parent)
    : RecorderView(recorder, std::move(isShowing), nullptr, nullptr, parent)
{
}

RecorderView::RecorderView(AudioRecorder* recorder, platform::Binding<bool> isShowing,
                           std::unique_ptr<platform::MicrophoneAuthorization> authorization,
                           WhisperRunnerFactory makeWhisperRunner, QWidget* parent)
    : QWidget(parent)
    , m_recorder(recorder)
    , m_isShowing(std::move(isShowing))
    , m_authorization(authorization ? std::move(authorization)
                                    : platform::MicrophoneAuthorization::createDefault())
    , m_makeWhisperRunner(makeWhisperRunner ? std::move(makeWhisperRunner)
                                            : [] { return std::make_unique<WhisperRunner>(); })
{
    setFixedSize(kViewWidth, kViewHeight);

    m_panel = new TranscriptPanel(this);

    const QFont labelFont = systemFont(14, QFont::Medium);
    // Captions come from render(), like everything else the view shows.
    m_startStopButton = new QPushButton(this);
    m_startStopButton->setFont(labelFont);
    m_startStopButton->setFixedSize(kButtonWidth, kButtonHeight);
    m_startStopButton->setDefault(true);
    connect(m_startStopButton, &QPushButton::clicked, this, &RecorderView::handleStartStop);
    // Return presses the default button wherever the focus is in the window, or was:
    // a shortcut of the window rather than a key handler, which only sees keys sent
    // to the view or its children and none after the focused widget is gone.
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WindowShortcut);
        shortcut->setAutoRepeat(false);
        connect(shortcut, &QShortcut::activated, this, &RecorderView::pressDefaultButton);
    }

    m_closeButton = new QPushButton(this);
    m_closeButton->setFont(labelFont);
    m_closeButton->setFixedSize(kButtonWidth, kButtonHeight);
    // The prominent red fill; the desktop style would only tint the bevel.
    m_closeButton->setStyleSheet(QStringLiteral(
        "QPushButton { background-color: rgb(255, 59, 48); color: white;"
        " border: 1px solid rgb(215, 0, 21); border-radius: 6px; }"
        "QPushButton:pressed { background-color: rgb(215, 0, 21); }"
        "QPushButton:focus { border: 2px solid palette(highlight); }"
        "QPushButton:disabled { background-color: rgba(255, 59, 48, 110); color: rgba(255, 255, 255, 200);"
        " border-color: transparent; }"));
    connect(m_closeButton, &QPushButton::clicked, this, [this] { m_isShowing.set(false); });

    m_confirmationLine = new QLabel(this);
    m_confirmationLine->setFont(systemFont(11, QFont::Normal));
    useSecondaryColour(m_confirmationLine);
    m_confirmationOpacity = new QGraphicsOpacityEffect(m_confirmationLine);
    m_confirmationOpacity->setOpacity(0);
    m_confirmationLine->setGraphicsEffect(m_confirmationOpacity);
    m_confirmationLine->hide();
    m_confirmationFade = new QVariantAnimation(this);
    m_confirmationFade->setDuration(kConfirmationFadeMs);
    m_confirmationFade->setEasingCurve(QEasingCurve::InOutQuad);
    connect(m_confirmationFade, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& value) { m_confirmationOpacity->setOpacity(value.toReal()); });
    connect(m_confirmationFade, &QVariantAnimation::finished, this, [this] {
        if (!m_confirmationShown) {
            // Gone only now, so the row does not move under a line still fading.
            m_confirmationLine->hide();
            layoutContent();
        }
    });

    connect(m_recorder, &platform::ObservableObject::objectWillChange, this, &RecorderView::scheduleRender);
    connect(m_recorder, &AudioRecorder::recordingEndedByItself, this, &RecorderView::endRecordingByItself);

    render();
}

RecorderView::~RecorderView() = default;

void RecorderView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Un-minimising is not a new appearance.
    if (event->spontaneous())
        return;
    ensureWhisperRunner();
    appear();
    render();
}

void RecorderView::pressDefaultButton()
{
    // A disabled button ignores the key as it ignores the pointer.
    if (m_startStopButton->isEnabled())
        m_startStopButton->click();
}

void RecorderView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    layoutContent();
}

void RecorderView::handleStartStop()
{
    if (!m_recorder->isRecording()
        && (m_transcription != Transcription::None
            || (m_ownEnd.isValid() && m_ownEnd.elapsed() < kPressAfterOwnEndMs)))
        return;
    // A press while recording always stops: the input may be gone by now (a headset
    // unplugged), and refusing would keep a recording running that nothing else ends.
    // Every start still passes the check.
    if (m_recorder->isRecording()) {
        toggleRecording();
        return;
    }
    const int status = m_authorization->authorizationStatus();
    if (status == platform::MicrophoneAuthorization::Authorized) {
        toggleRecording();
        return;
    }
    if (status == platform::MicrophoneAuthorization::NotDetermined) {
        // The answer may come on any thread: it only hops to the main thread,
        // where the view is looked up again in case it is gone.
        QPointer<RecorderView> self(this);
        m_authorization->requestAccess([self](bool granted) {
            platform::postToMain(QCoreApplication::instance(), [self, granted] {
                if (!self)
                    return;
                if (granted)
                    self->toggleRecording();
                else
                    self->setShowMicAccessAlert(true);
            });
        });
        return;
    }
    setShowMicAccessAlert(true);
}

void RecorderView::toggleRecording()
{
    ensureWhisperRunner();
    if (m_recorder->isRecording()) {
        m_recorder->stopRecording();
        m_whisperRunner->setTranscription(QString());
        const QUrl audioFileURL = m_recorder->audioFileURL();
        m_whisperRunner->transcribe(audioFileURL, kModelFileName);
        // The runner has queued its first update (processing, or the error of a missing
        // model); once that has run, it is processing or there is nothing to wait for.
        m_transcription = Transcription::Queued;
        platform::postToMain(this, [this] {
            m_transcription = m_whisperRunner->isProcessing() ? Transcription::Running : Transcription::None;
        });
    } else {
        m_whisperRunner->setTranscription(QString());
        m_whisperRunner->setCopiedToClipboard(false);
        m_recorder->startRecording();
    }
}

void RecorderView::endRecordingByItself()
{
    // As if the user had pressed Stop now: saved, transcribed, shown and copied.
    if (!m_recorder->isRecording())
        return;
    m_ownEnd.start();
    toggleRecording();
}

void RecorderView::appear()
{
    m_whisperRunner->setTranscription(QString());
    m_whisperRunner->setCopiedToClipboard(false);
}

void RecorderView::ensureWhisperRunner()
{
    if (m_whisperRunner)
        return;
    // Opens the model synchronously: once per view, on the main thread.
    m_whisperRunner = m_makeWhisperRunner();
    connect(m_whisperRunner.get(), &platform::ObservableObject::objectWillChange, this,
            &RecorderView::scheduleRender);
}

void RecorderView::setShowMicAccessAlert(bool show)
{
    m_showMicAccessAlert = show;
    if (show && !m_micAlert) {
        auto* alert = new QMessageBox(this);
        alert->setAttribute(Qt::WA_DeleteOnClose);
        const QString title = text("Microphone Access Denied");
        alert->setWindowTitle(title);
        alert->setText(title);
        alert->setInformativeText(text("Please enable microphone access in System Preferences \u2192 "
                                       "Security & Privacy \u2192 Privacy \u2192 Microphone."));
        QPushButton* ok = alert->addButton(text("OK"), QMessageBox::AcceptRole);
        alert->setDefaultButton(ok);
        alert->setEscapeButton(ok);
        connect(alert, &QMessageBox::finished, this, [this] {
            // Forgotten at once, not when deleted later: a refusal in between must
            // raise a new alert rather than count the dismissed one as showing.
            m_micAlert = nullptr;
            setShowMicAccessAlert(false);
        });
        m_micAlert = alert;
        alert->open();
    } else if (!show && m_micAlert && m_micAlert->isVisible()) {
        m_micAlert->done(0);
    }
}

void RecorderView::scheduleRender()
{
    // Observers hear of a change before it is stored: read the values once the
    // event loop comes round, and only once for a burst of changes.
    if (m_renderPending)
        return;
    m_renderPending = true;
    QMetaObject::invokeMethod(this, &RecorderView::render, Qt::QueuedConnection);
}

void RecorderView::render()
{
    m_renderPending = false;
    RecorderViewState state;
    state.isRecording = m_recorder->isRecording();
    state.audioLevel = m_recorder->audioLevel();
    if (m_whisperRunner) {
        state.isProcessing = m_whisperRunner->isProcessing();
        state.copiedToClipboard = m_whisperRunner->copiedToClipboard();
    }
    // The outcome and its copy are published together, before this render.
    if (m_transcription == Transcription::Running && !state.isProcessing)
        m_transcription = Transcription::None;
    const RecorderViewContent content = recorderViewContent(state);

    setListening(content.showsListening, content.listeningCaption);
    if (m_waveView)
        m_waveView->setAudioLevel(state.audioLevel);
    if (m_textView)
        m_textView->updateFromBinding();

    m_startStopButton->setText(content.startStopTitle);
    m_startStopButton->setEnabled(content.startStopEnabled);
    m_closeButton->setText(content.closeTitle);
    m_closeButton->setEnabled(content.closeEnabled);
    m_confirmationLine->setText(content.confirmationText);
    setConfirmationShown(content.showsConfirmation);
}

void RecorderView::setListening(bool listening, const QString& caption)
{
    if (m_branch && listening == m_listening)
        return;
    m_listening = listening;
    QWidget* outgoing = m_branch;

    if (listening) {
        auto* branch = new QWidget(m_panel);
        auto* stack = new QVBoxLayout(branch);
        stack->setContentsMargins(0, 0, 0, 0);
        stack->setSpacing(kListeningSpacing);
        auto* captionLabel = new QLabel(caption, branch);
        captionLabel->setFont(systemFont(13, QFont::Medium));
        captionLabel->setAlignment(Qt::AlignHCenter);
        useSecondaryColour(captionLabel);
        stack->addWidget(captionLabel);
        m_waveView = new recorderview::AudioWaveView(m_recorder->audioLevel(), kBarCount, branch);
        stack->addWidget(m_waveView, 1);
        m_branch = branch;
    } else {
        auto* view = new recorderview::ScrollableTextView(
            {[this] { return m_whisperRunner ? m_whisperRunner->transcription() : QString(); },
             [this](const QString& value) {
                 if (m_whisperRunner)
                     m_whisperRunner->setTranscription(value);
             }},
            m_panel);
        view->updateFromBinding();
        m_textView = view;
        m_branch = view;
    }
    m_branch->setGeometry(m_panel->contentsRect());
    m_branch->show();

    if (!outgoing)
        return;
    // The focus must not go down with the outgoing branch, or it would fall out of
    // the window: the branch takes none while it fades, and gives back what it has.
    outgoing->setFocusPolicy(Qt::NoFocus);
    for (QWidget* child : outgoing->findChildren<QWidget*>())
        child->setFocusPolicy(Qt::NoFocus);
    moveFocusOutOf(outgoing);
    if (!isVisible()) {
        delete outgoing;
        return;
    }

    // Cross-fade: the new branch comes in while the old one goes, then the old
    // one is deleted. A later switch may replace either effect, hence QPointers.
    QPointer<QGraphicsOpacityEffect> in = new QGraphicsOpacityEffect(m_branch);
    in->setOpacity(0);
    m_branch->setGraphicsEffect(in);
    QPointer<QGraphicsOpacityEffect> out = new QGraphicsOpacityEffect(outgoing);
    outgoing->setGraphicsEffect(out);
    QPointer<QWidget> incoming = m_branch;

    auto* fade = new QVariantAnimation(outgoing);
    fade->setStartValue(0.0);
    fade->setEndValue(1.0);
    fade->setDuration(kPanelSwitchMs);
    fade->setEasingCurve(QEasingCurve::InOutQuad);
    connect(fade, &QVariantAnimation::valueChanged, outgoing, [in, out](const QVariant& value) {
        if (in)
            in->setOpacity(value.toReal());
        if (out)
            out->setOpacity(1.0 - value.toReal());
    });
    connect(fade, &QVariantAnimation::finished, outgoing, [this, outgoing, incoming, in] {
        // Effects cost a render pass per paint; drop the one that has done its job.
        if (incoming && in && incoming->graphicsEffect() == in)
            incoming->setGraphicsEffect(nullptr);
        moveFocusOutOf(outgoing);
        outgoing->deleteLater();
    });
    fade->start();
}

void RecorderView::moveFocusOutOf(QWidget* leaving)
{
    QWidget* focus = window()->focusWidget();
    if (focus && (focus == leaving || leaving->isAncestorOf(focus)))
        setFocus(Qt::OtherFocusReason);
}

void RecorderView::setConfirmationShown(bool shown)
{
    if (shown == m_confirmationShown)
        return;
    m_confirmationShown = shown;
    m_confirmationFade->stop();
    m_confirmationFade->setStartValue(m_confirmationOpacity->opacity());
    m_confirmationFade->setEndValue(shown ? 1.0 : 0.0);
    if (shown) {
        m_confirmationLine->show();
        layoutContent();
    }
    m_confirmationFade->start();
}

void RecorderView::layoutContent()
{
    // The panel never gets less than its minimum; when the lower stack needs more
    // room than is left, the whole column grows past the margin, centred.
    const QRect area = rect().marginsRemoved(QMargins(kPadding, kPadding, kPadding, kPadding));
    const QSize lineSize = m_confirmationLine->sizeHint();
    const int lowerHeight = kButtonHeight + (m_confirmationLine->isVisibleTo(this) ? kLowerSpacing + lineSize.height() : 0);
    const int panelHeight = std::max(m_panel->minimumHeight(), area.height() - kOuterSpacing - lowerHeight);
    const int columnHeight = panelHeight + kOuterSpacing + lowerHeight;
    const int top = area.top() + (area.height() - columnHeight) / 2;

    m_panel->setGeometry(area.left(), top, area.width(), panelHeight);
    const int rowTop = top + panelHeight + kOuterSpacing;
    const int rowLeft = area.left() + (area.width() - (2 * kButtonWidth + kRowSpacing)) / 2;
    m_startStopButton->move(rowLeft, rowTop);
    m_closeButton->move(rowLeft + kButtonWidth + kRowSpacing, rowTop);
    m_confirmationLine->setGeometry(area.left() + (area.width() - lineSize.width()) / 2,
                                    rowTop + kButtonHeight + kLowerSpacing, lineSize.width(), lineSize.height());
}

// --- ScrollableTextView ----------------------------------------------------

namespace recorderview {

ScrollableTextView::ScrollableTextView(platform::Binding<QString> text, QWidget* parent)
    : QPlainTextEdit(parent)
    , m_text(std::move(text))
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    setBackgroundVisible(false);
    viewport()->setAutoFillBackground(false);

    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setUndoRedoEnabled(false);
    // Keyboard selection would otherwise draw a caret, which reads as "editable".
    setCursorWidth(0);

    QFont font = QFontDatabase::families().contains(QStringLiteral("SF Pro Text"))
        ? QFont(QStringLiteral("SF Pro Text"))
        : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(14);
    setFont(font);

    document()->setDocumentMargin(4);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
}

bool ScrollableTextView::equalAsText(const QString& a, const QString& b)
{
    return a == b
        || a.normalized(QString::NormalizationForm_D) == b.normalized(QString::NormalizationForm_D);
}

void ScrollableTextView::updateFromBinding()
{
    // Compared with the string last handed over rather than toPlainText(), which
    // rewrites line separators and no-break spaces and would make every update
    // look like a change, resetting the reader's selection and scroll position.
    if (equalAsText(m_shown, m_text.get()))
        return;
    m_shown = m_text.get();
    setPlainText(m_shown);
}

// --- WaveBar ---------------------------------------------------------------

WaveBar::WaveBar(double level, QWidget* parent)
    : QWidget(parent)
    , m_level(level)
    , m_shownHeight(height(level))
    , m_ease(new QVariantAnimation(this))
{
    setFixedSize(kBarWidth, kBarColumnHeight);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_ease->setDuration(kBarEaseMs);
    m_ease->setEasingCurve(QEasingCurve::OutQuad);
    connect(m_ease, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_shownHeight = value.toDouble();
        update();
    });
}

double WaveBar::height(double level)
{
    // Written this way round so that a NaN level still gives the minimum.
    return std::max(kBarMinHeight, level * kBarColumnHeight);
}

void WaveBar::setLevel(double level)
{
    if (level == m_level)
        return;
    m_level = level;
    m_ease->stop();
    m_ease->setStartValue(m_shownHeight);
    m_ease->setEndValue(height(level));
    m_ease->start();
}

void WaveBar::followLevel(double level)
{
    if (level == m_level)
        return;
    m_level = level;
    if (m_ease->state() == QAbstractAnimation::Running) {
        // Restarting here would hold the ease at its start for as long as the
        // level keeps moving, that is for ever.
        m_ease->setEndValue(height(level));
        return;
    }
    m_shownHeight = height(level);
    update();
}

void WaveBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bar(0, kBarColumnHeight - m_shownHeight, kBarWidth, m_shownHeight);
    const QColor accent = palette().color(QPalette::Highlight);
    QLinearGradient fill(bar.bottomLeft(), bar.topLeft());
    fill.setColorAt(0, withOpacity(accent, 0.8));
    fill.setColorAt(1, withOpacity(accent, 0.4));
    QPainterPath shape;
    shape.addRoundedRect(bar, kBarRadius, kBarRadius);
    painter.fillPath(shape, fill);
}

// --- AudioWaveView ---------------------------------------------------------

AudioWaveView::AudioWaveView(float audioLevel, std::int64_t barCount, QWidget* parent)
    : QWidget(parent)
    , m_audioLevel(audioLevel)
    , m_barCount(std::max<std::int64_t>(barCount, 0)) // a negative count draws no bars
    , m_phaseLoop(new QVariantAnimation(this))
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(kBarSpacing);
    row->addStretch();
    for (std::int64_t i = 0; i < m_barCount; ++i) {
        auto* bar = new WaveBar(barLevel(i), this);
        row->addWidget(bar, 0, Qt::AlignVCenter);
        m_bars.append(bar);
    }
    row->addStretch();

    m_phaseLoop->setStartValue(0.0);
    m_phaseLoop->setEndValue(2 * std::numbers::pi);
    m_phaseLoop->setDuration(kPhaseLoopMs);
    m_phaseLoop->setEasingCurve(QEasingCurve::Linear);
    m_phaseLoop->setLoopCount(-1);
    connect(m_phaseLoop, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& value) { setPhase(value.toDouble()); });
}

void AudioWaveView::setAudioLevel(float audioLevel)
{
    if (audioLevel == m_audioLevel)
        return;
    m_audioLevel = audioLevel;
    updateBars();
}

double AudioWaveView::barLevel(std::int64_t index) const
{
    return barLevel(m_audioLevel, m_phase, index);
}

double AudioWaveView::barLevel(float audioLevel, double phase, std::int64_t index)
{
    const double n = std::sin(static_cast<double>(index) * 0.4 + phase) * 0.5 + 0.5;
    // Widened before the threshold test: 0.1f itself lies just above 0.1.
    const double a = audioLevel;
    if (a < 0.1)
        return n * 0.2 + 0.15;
    return std::max(a, 0.3) * (n * 0.4 + 0.6);
}

void AudioWaveView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_phaseLoop->state() != QAbstractAnimation::Running)
        m_phaseLoop->start();
}

void AudioWaveView::hideEvent(QHideEvent* event)
{
    // Nobody sees the bars of a hidden window; the next appearance starts again.
    QWidget::hideEvent(event);
    m_phaseLoop->stop();
}

void AudioWaveView::setPhase(double phase)
{
    m_phase = phase;
    // The phase only moves the profile along; the eases of level changes go on.
    for (qsizetype i = 0; i < m_bars.size(); ++i)
        m_bars[i]->followLevel(barLevel(i));
}

void AudioWaveView::updateBars()
{
    for (qsizetype i = 0; i < m_bars.size(); ++i)
        m_bars[i]->setLevel(barLevel(i));
}

} // namespace recorderview
