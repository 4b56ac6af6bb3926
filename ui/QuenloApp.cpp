#include "QuenloApp.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quenlo"));
    QApplication::setDesktopFileName(QStringLiteral("quenlo"));
    // Quenlo lives in the tray: hiding its only window must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    QuenloAppApp app;
    return QApplication::exec();
}
