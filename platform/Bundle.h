#pragma once

#include <QString>
#include <QStringList>

namespace platform {

// Full path of the resource file "name.type", looked up in the data folder of an
// installation around the executable (<bin>/../share/quenlo), then in the data folder
// configured at build time, then in resources/ beside the executable; empty when it is
// in none of them.
QString pathForResource(const QString& name, const QString& type);

// The folders searched, in order.
QStringList resourceSearchPaths();

// Test seam: replaces the folders searched; an empty list restores the defaults.
void setResourceSearchPathsForTesting(const QStringList& paths);

} // namespace platform
