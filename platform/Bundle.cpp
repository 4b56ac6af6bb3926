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
    return {QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("resources")),
            QStringLiteral(QUENLO_DATADIR)};
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
