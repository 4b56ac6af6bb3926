#include "QuenloApp.h"

#include "platform/Console.h"
#include "platform/InstanceLock.h"
#include "platform/MainQueue.h"
#include "platform/System.h"

#include <QApplication>
#include <QSettings>

#include <cstdio>
#include <cstdlib>

namespace {
// How long the last lines may wait for a reader at exit: a reader that reads nothing
// must not keep Quenlo from ending.
constexpr int kLastLinesMs = 1000;
} // namespace

int main(int argc, char* argv[])
{
    // First of all: the lock file below is the first file Quenlo opens.
    platform::guardStandardStreams();

    // Before anything opens the display or the recording file: a second Quenlo would
    // record over the first one's recording. Starting again is not an error, the
    // Quenlo asked for is running, so this start ends with success.
    const platform::InstanceLock instance;
    if (instance.result() == platform::InstanceLock::Result::HeldElsewhere) {
        platform::printLine(QStringLiteral("Quenlo is already running: its icon is in the system tray."));
        platform::flushLines(kLastLinesMs);
        return 0;
    }
    // Without a usable lock file (no runtime directory, read-only file system), start
    // unguarded rather than not at all.
    if (instance.result() == platform::InstanceLock::Result::Unavailable)
        std::fprintf(stderr, "quenlo: cannot lock %s (%s); not guarding against a second start\n",
                     qPrintable(instance.path()), qPrintable(instance.errorString()));

    // Where Qt's platform plugin finds no display, Qt prints several lines and aborts.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    if (!platform::graphicalSessionAvailable(arguments)) {
        std::fprintf(stderr, "quenlo: needs a graphical desktop session (neither DISPLAY nor WAYLAND_DISPLAY is "
                             "set); start it from a terminal or the menu of your desktop\n");
        return 1;
    }

    int status = 0;
    {
        QApplication application(argc, argv);
        // Trays list the item under this name (Qt takes the item's title from it), and
        // it is the display name. Files and the lock keep their lowercase names.
        QApplication::setApplicationName(QStringLiteral("Quenlo"));
        QApplication::setDesktopFileName(QStringLiteral("quenlo"));
        // Quenlo lives in the tray: hiding its only window must not end it.
        QApplication::setQuitOnLastWindowClosed(false);

        // Lives until the process ends, like everything the tray needs.
        auto* app = new QuenloAppApp;
        // The icon still appears when a tray starts later, but until then nothing on
        // screen says Quenlo runs.
        if (!app->menuBarManager().statusItem())
            platform::printLine(QStringLiteral("⚠️ MenuBar: No system tray is running; the icon appears once one starts"));
        status = QApplication::exec();

        // "Quit" ends Quenlo at once, even while the recogniser is still working on
        // its own thread: keep what was said and where the window was, then wait for
        // nothing.
        platform::closeMainQueue();
        app->finishRecordingFile();
        // Any QSettings on the window's file writes the frame it still holds in memory.
        QSettings(QStringLiteral("quenlo"), QStringLiteral("quenlo")).sync();
        std::fflush(nullptr);
        // Leaving this block destroys the application object, the one place where Qt
        // hands the clipboard to the desktop's clipboard manager, so the transcript can
        // still be pasted after Quit. It joins no thread of ours (a transcription still
        // running finds the main queue closed), and the windows and models stay as they
        // are: nothing of the application is torn down.
    }
    platform::flushLines(kLastLinesMs);
    std::_Exit(status);
}
