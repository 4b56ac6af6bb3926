// The recorder view's building blocks that need no models: what it shows for a state, the
// level bars and the transcript view.
#include "ui/RecorderView.h"

#include <QApplication>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QVariantAnimation>

#include <cmath>
#include <numbers>

using recorderview::AudioWaveView;
using recorderview::ScrollableTextView;
using recorderview::WaveBar;

namespace {

const QString kListening = QString::fromUtf8("Listening\u2026");

QString longText()
{
    QStringList lines;
    for (int i = 0; i < 200; ++i)
        lines << QStringLiteral("Line %1 of a transcript long enough to scroll.").arg(i);
    return lines.join(u'\n');
}

} // namespace

class RecorderViewPartsTest final : public QObject
{
    Q_OBJECT

private slots:
    // --- what the view shows -------------------------------------------------

    void contentTable_data()
    {
        QTest::addColumn<bool>("isRecording");
        QTest::addColumn<bool>("isProcessing");
        QTest::addColumn<bool>("copied");
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("startStopEnabled");
        QTest::addColumn<bool>("closeEnabled");

        for (const bool copied : {false, true}) {
            const char* suffix = copied ? " copied" : "";
            QTest::addRow("idle%s", suffix) << false << false << copied << "Start" << true << true;
            QTest::addRow("recording%s", suffix) << true << false << copied << "Stop" << true << false;
            QTest::addRow("transcribing%s", suffix) << false << true << copied << "Start" << false << false;
            QTest::addRow("both%s", suffix) << true << true << copied << "Stop" << false << false;
        }
    }

    void contentTable()
    {
        QFETCH(bool, isRecording);
        QFETCH(bool, isProcessing);
        QFETCH(bool, copied);
        RecorderViewState state;
        state.isRecording = isRecording;
        state.isProcessing = isProcessing;
        state.copiedToClipboard = copied;

        const RecorderViewContent content = recorderViewContent(state);
        QTEST(content.startStopTitle, "title");
        QTEST(content.startStopEnabled, "startStopEnabled");
        QTEST(content.closeEnabled, "closeEnabled");
        QCOMPARE(content.closeTitle, QStringLiteral("Close"));
        QCOMPARE(content.showsConfirmation, copied);
        QCOMPARE(content.confirmationText, QStringLiteral("Copied to clipboard"));

        // Listening takes the panel's place of the transcript.
        QCOMPARE(content.showsListening, isRecording);
        QCOMPARE(content.listeningCaption, isRecording ? kListening : QString());
    }

    // --- level bars ----------------------------------------------------------

    void barLevel_data()
    {
        QTest::addColumn<float>("level");
        QTest::addColumn<int>("index");
        QTest::addColumn<double>("points");
        QTest::addColumn<double>("tolerance");

        QTest::newRow("quiet bar 0") << 0.0f << 0 << 25.0 << 1e-12;
        QTest::newRow("quiet bar 4") << 0.0f << 4 << 34.996 << 1e-3;
        QTest::newRow("quiet bar 12") << 0.0f << 12 << 15.04 << 5e-3;
        QTest::newRow("0.1 bar 0") << 0.1f << 0 << 24.0 << 1e-12;
        QTest::newRow("0.1 bar 4") << 0.1f << 4 << 30.0 << 5e-3;
        QTest::newRow("just below 0.1 is quiet") << std::nextafter(0.1f, 0.0f) << 0 << 25.0 << 1e-12;
        QTest::newRow("0.2 held at 0.3") << 0.2f << 0 << 24.0 << 1e-12;
        QTest::newRow("0.5 bar 0") << 0.5f << 0 << 40.0 << 1e-12;
        QTest::newRow("0.5 bar 4") << 0.5f << 4 << 50.0 << 5e-3;
        QTest::newRow("1 bar 0") << 1.0f << 0 << 80.0 << 1e-12;
        QTest::newRow("1 bar 4") << 1.0f << 4 << 99.99 << 5e-3;
    }

    void barLevel()
    {
        QFETCH(float, level);
        QFETCH(int, index);
        QFETCH(double, points);
        QFETCH(double, tolerance);
        QCOMPARE_LE(std::abs(AudioWaveView::barLevel(level, 0.0, index) * 100 - points), tolerance);

        // The view's own method reads its level and its phase, 0 at first.
        const AudioWaveView row(level, 24);
        QCOMPARE(row.phase(), 0.0);
        QCOMPARE_LE(std::abs(row.barLevel(index) * 100 - points), tolerance);
    }

    void barLevelRangeAndPeriod()
    {
        for (const float level : {0.0f, 0.05f, 0.1f, 0.3f, 0.7f, 1.0f}) {
            for (int i = 0; i < 24; ++i) {
                const double atZero = AudioWaveView::barLevel(level, 0.0, i);
                const double atTwoPi = AudioWaveView::barLevel(level, 2 * std::numbers::pi, i);
                QCOMPARE_LE(std::abs(atZero - atTwoPi), 3e-16);
                QCOMPARE_GE(atZero, 0.15);
                QCOMPARE_LE(atZero, 1.0);
            }
        }
    }

    void waveBarHeight()
    {
        QCOMPARE(WaveBar::height(0.01), 4.0);
        QCOMPARE(WaveBar::height(0.0), 4.0);
        QCOMPARE(WaveBar::height(std::nan("")), 4.0);
        QCOMPARE(WaveBar::height(0.5), 50.0);

        WaveBar bar(0.01);
        QCOMPARE(bar.size(), QSize(6, 100));
        QCOMPARE(bar.shownHeight(), 4.0);
        // A level change eases to the new height instead of jumping.
        bar.setLevel(0.5);
        QCOMPARE(bar.level(), 0.5);
        QCOMPARE_LT(bar.shownHeight(), 50.0);
        QTRY_COMPARE(bar.shownHeight(), 50.0);
    }

    void rowLayout()
    {
        AudioWaveView row(0.0f, 24);
        QCOMPARE(row.bars().size(), 24);
        row.resize(300, 150);
        row.show();
        QVERIFY(QTest::qWaitForWindowExposed(&row));
        // 24 bars of 6 with 4 between: 236 wide, centred both ways.
        QCOMPARE(row.bars().first()->geometry(), QRect(32, 25, 6, 100));
        QCOMPARE(row.bars().last()->geometry().right() - row.bars().first()->geometry().left() + 1, 236);
        QCOMPARE(row.bars().at(1)->x() - row.bars().at(0)->x(), 10);

        AudioWaveView empty(0.5f, 0);
        QVERIFY(empty.bars().isEmpty());
        QCOMPARE(empty.sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(empty.sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
        const AudioWaveView negative(0.5f, -3);
        QVERIFY(negative.bars().isEmpty());
    }

    void rowAnimatesPhaseOnceShownAndFollowsLevel()
    {
        AudioWaveView row(0.0f, 24);
        QCOMPARE(row.phase(), 0.0);
        row.resize(300, 150);
        row.show();
        QTRY_VERIFY(row.phase() > 0.0);
        QCOMPARE_LE(row.phase(), 2 * std::numbers::pi);
        // The bars' targets follow the running phase.
        const double phase = row.phase();
        QTRY_VERIFY(row.phase() != phase);
        QCOMPARE(row.bars().at(3)->level(), row.barLevel(3));

        row.setAudioLevel(1.0f);
        QCOMPARE(row.bars().at(0)->level(), AudioWaveView::barLevel(1.0f, row.phase(), 0));
    }

    void phaseRestsWhileHidden()
    {
        AudioWaveView row(0.0f, 24);
        row.resize(300, 150);
        row.show();
        QTRY_VERIFY(row.phase() > 0.0);
        row.hide();
        const double phase = row.phase();
        // Animations share one clock: once this one has run its course, the phase
        // loop would have moved too, had it still been running.
        QVariantAnimation clock;
        clock.setDuration(100);
        clock.setStartValue(0.0);
        clock.setEndValue(1.0);
        QSignalSpy finished(&clock, &QAbstractAnimation::finished);
        clock.start();
        QVERIFY(finished.wait());
        QCOMPARE(row.phase(), phase);

        row.show();
        QTRY_VERIFY(row.phase() != phase);
    }

    // --- transcript view -----------------------------------------------------

    void textViewUpdates()
    {
        QString text = longText();
        bool wrote = false;
        ScrollableTextView view({[&] { return text; }, [&](const QString&) { wrote = true; }});
        view.resize(300, 120);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.updateFromBinding();
        QCOMPARE(view.toPlainText(), text);

        // Same text: content, selection and scroll position stay as the reader left them.
        QTextCursor cursor = view.textCursor();
        cursor.setPosition(40);
        cursor.setPosition(90, QTextCursor::KeepAnchor);
        view.setTextCursor(cursor);
        view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum() / 2);
        const int scroll = view.verticalScrollBar()->value();
        QVERIFY(scroll > 0);
        QSignalSpy changes(view.document(), &QTextDocument::contentsChange);
        view.updateFromBinding();
        QCOMPARE(changes.size(), 0);
        QCOMPARE(view.textCursor().selectionStart(), 40);
        QCOMPARE(view.textCursor().selectionEnd(), 90);
        QCOMPARE(view.verticalScrollBar()->value(), scroll);

        // Different text replaces everything.
        text = QStringLiteral("Something else entirely.");
        view.updateFromBinding();
        QCOMPARE(view.toPlainText(), text);
        QVERIFY(!view.textCursor().hasSelection());

        // An empty transcript empties the view.
        text.clear();
        view.updateFromBinding();
        QVERIFY(view.toPlainText().isEmpty());
        QVERIFY(!wrote);
    }

    void textViewCanonicalEquivalence()
    {
        const QString precomposed = QString::fromUtf8("caf\u00e9");
        const QString decomposed = QString::fromUtf8("cafe\u0301");
        QVERIFY(ScrollableTextView::equalAsText(precomposed, decomposed));
        QVERIFY(!ScrollableTextView::equalAsText(precomposed, QStringLiteral("cafe")));

        QString text = precomposed;
        ScrollableTextView view({[&] { return text; }, [](const QString&) {}});
        view.updateFromBinding();
        QSignalSpy changes(view.document(), &QTextDocument::contentsChange);
        text = decomposed;
        view.updateFromBinding();
        QCOMPARE(changes.size(), 0);
        QCOMPARE(view.toPlainText(), precomposed);
    }

    void textViewKeepsTextThatPlainTextRewrites()
    {
        // The document hands these back changed (no-break space, paragraph
        // separator); the same transcript must still count as unchanged.
        const QString text = QString::fromUtf8("one\u00a0two\u2029three");
        ScrollableTextView view({[&] { return text; }, [](const QString&) {}});
        view.updateFromBinding();
        QTextCursor cursor = view.textCursor();
        cursor.setPosition(1);
        cursor.setPosition(3, QTextCursor::KeepAnchor);
        view.setTextCursor(cursor);
        QSignalSpy changes(view.document(), &QTextDocument::contentsChange);
        view.updateFromBinding();
        QCOMPARE(changes.size(), 0);
        QCOMPARE(view.textCursor().selectionEnd(), 3);
    }

    void textViewRefusesTyping()
    {
        QString text = QStringLiteral("Transcript");
        ScrollableTextView view({[&] { return text; }, [](const QString&) {}});
        view.updateFromBinding();
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.setFocus();
        QTest::keyClicks(&view, QStringLiteral("abc"));
        QTest::keyClick(&view, Qt::Key_Backspace);
        QTest::keyClick(&view, Qt::Key_Return);
        QCOMPARE(view.toPlainText(), QStringLiteral("Transcript"));

        // Selecting and copying still work.
        QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(view.textCursor().selectedText(), QStringLiteral("Transcript"));
    }

    void textViewDrawsNoCaret()
    {
        // A caret would read as "editable"; the focused view looks as the unfocused one.
        QString text = QStringLiteral("Transcript");
        ScrollableTextView view({[&] { return text; }, [](const QString&) {}});
        view.updateFromBinding();
        view.resize(300, 120);
        view.show();
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        view.clearFocus();
        QTRY_VERIFY(!view.hasFocus());
        const QImage unfocused = view.grab().toImage();

        view.setFocus();
        QTRY_VERIFY(view.hasFocus());
        // At the end of the text, where a caret would stand clear of the letters.
        view.moveCursor(QTextCursor::End);
        QTest::keyClick(&view, Qt::Key_End);
        QCOMPARE(view.grab().toImage(), unfocused);
    }
};

QTEST_MAIN(RecorderViewPartsTest)
#include "test_recorderview_parts.moc"
