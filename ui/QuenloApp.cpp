#include "QuenloApp.h"

#include <QApplication>
#include <QSettings>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quenlo"));
    QApplication::setDesktopFileName(QStringLiteral("quenlo"));
    // Quenlo lives in the tray: hiding its only window must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    // Lives until the process ends, like everything the tray needs.
    auto* app = new QuenloAppApp;
    const int status = QApplication::exec();

    // "Quit" ends Quenlo at once, even while the recogniser is still working on its
    // own thread: keep what was said and where the window was, then wait for nothing.
    app->finishRecordingFile();
    // Any QSettings on the window's file writes the frame it still holds in memory.
    QSettings(QStringLiteral("quenlo"), QStringLiteral("quenlo")).sync();
    std::fflush(nullptr);
    std::_Exit(status);
}
