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

// Prints one diagnostic line on standard output, whole, as it happens. Best effort and
// never waits for the reader: a closed or failing output loses the line, and a reader
// that reads nothing leaves lines waiting (up to 1 MiB, then they are dropped whole).
// The recogniser's own logs stay on standard error.
void printLine(const QString& line);

// Waits up to `timeoutMs` for the lines printed so far to be written or lost; false if
// the reader is still not taking them. For the end of the process.
bool flushLines(int timeoutMs);

// Test seam: while set, lines go to `sink` instead of standard output.
void setLineSinkForTesting(std::function<void(const QString&)> sink);

} // namespace platform
