#pragma once

#include <QString>
#include <QStringList>

namespace platform {

// Full path of the resource file "name.type", looked up in resources/ beside the
// executable, then in the installed data directory; empty when it is in neither.
QString pathForResource(const QString& name, const QString& type);

// The folders searched, in order.
QStringList resourceSearchPaths();

// Test seam: replaces the folders searched; an empty list restores the defaults.
void setResourceSearchPathsForTesting(const QStringList& paths);

} // namespace platform
