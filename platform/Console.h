#pragma once

#include <QString>

#include <functional>

namespace platform {

// Prints one diagnostic line on standard output and flushes it, so lines reach a
// pipe as they happen. The recogniser's own logs stay on standard error.
void printLine(const QString& line);

// Test seam: while set, lines go to `sink` instead of standard output.
void setLineSinkForTesting(std::function<void(const QString&)> sink);

} // namespace platform
