#include "Bundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace platform {
namespace {
QStringList overridePaths;
} // namespace

QStringList resourceSearchPaths()
{
    if (!overridePaths.isEmpty())
        return overridePaths;
    // Installed, the data folder is found from the executable, so a prefix chosen at
    // install time works as well as the one configured; resources/ serves the build tree.
    const QDir bin(QCoreApplication::applicationDirPath());
    return {QDir::cleanPath(bin.filePath(QStringLiteral(QUENLO_DATADIR_FROM_BINDIR))),
            QStringLiteral(QUENLO_DATADIR), bin.filePath(QStringLiteral("resources"))};
}

QString pathForResource(const QString& name, const QString& type)
{
    const QString fileName = type.isEmpty() ? name : name + u'.' + type;
    for (const QString& dir : resourceSearchPaths()) {
        const QFileInfo candidate(QDir(dir), fileName);
        if (candidate.isFile())
            return candidate.absoluteFilePath();
    }
    return {};
}

void setResourceSearchPathsForTesting(const QStringList& paths)
{
    overridePaths = paths;
}

} // namespace platform
