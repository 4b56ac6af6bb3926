#pragma once

#include <QString>

#include <functional>

namespace platform {

// Makes standard input, output and error safe to use whatever started Quenlo: a closed
// descriptor 0, 1 or 2 is reopened on /dev/null, so that no file opened later takes
// its number and receives diagnostics; and a reader that goes away no longer ends the
// process with SIGPIPE, the write fails instead. Call first, before anything opens a
// file.
void guardStandardStreams();

// Prints one diagnostic line on standard output at once, so lines reach a pipe as they
// happen. Best effort: a closed or failing output loses the line, nothing else.
// The recogniser's own logs stay on standard error.
void printLine(const QString& line);

// Test seam: while set, lines go to `sink` instead of standard output.
void setLineSinkForTesting(std::function<void(const QString&)> sink);

} // namespace platform
