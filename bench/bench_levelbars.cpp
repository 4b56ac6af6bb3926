// How long the level bars take to stand at a new level while their phase runs: the
// row is shown, the level jumps between silence and a loud input, and the time until
// every bar is drawn within a pixel of its height at the phase of that moment is
// measured. The goal is about 0.1 s (an ease of 0.08 s plus a frame or two).
//
// Usage: bench_levelbars [jumps] (default 40). Needs a display, or
// QT_QPA_PLATFORM=offscreen.
#include "ui/RecorderView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

using recorderview::AudioWaveView;
using recorderview::WaveBar;

namespace {

bool barsStandAtTheirLevel(const AudioWaveView& row)
{
    for (qsizetype i = 0; i < row.bars().size(); ++i) {
        if (std::abs(row.bars().at(i)->shownHeight() - WaveBar::height(row.barLevel(i))) > 1.0)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const int jumps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;

    AudioWaveView row(0.0f, 24);
    row.resize(300, 150);
    row.show();

    std::vector<double> settleMs;
    QElapsedTimer sinceJump;
    bool waiting = false;
    int done = 0;
    // Polled at every turn of the event loop, as close to each frame as it gets.
    QTimer poll;
    poll.setInterval(0);
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (!waiting) {
            // A pause between jumps, so that each starts from a settled row.
            if (sinceJump.isValid() && sinceJump.elapsed() < 200)
                return;
            row.setAudioLevel(done % 2 == 0 ? 0.8f : 0.0f);
            sinceJump.start();
            waiting = true;
            return;
        }
        if (barsStandAtTheirLevel(row)) {
            settleMs.push_back(double(sinceJump.nsecsElapsed()) / 1e6);
            sinceJump.start();
            waiting = false;
            if (++done == jumps)
                app.quit();
        } else if (sinceJump.elapsed() > 2000) {
            std::printf("a jump to level %.1f did not settle within 2 s\n", double(row.audioLevel()));
            app.exit(1);
        }
    });
    poll.start();
    const int status = app.exec();
    if (status != 0 || settleMs.empty())
        return status;

    std::sort(settleMs.begin(), settleMs.end());
    std::printf("level bars settle after a level jump (%zu jumps, phase running):\n", settleMs.size());
    std::printf("  median %.1f ms, 90th percentile %.1f ms, worst %.1f ms (goal: about 100 ms)\n",
                settleMs[settleMs.size() / 2], settleMs[settleMs.size() * 9 / 10], settleMs.back());
    return 0;
}
