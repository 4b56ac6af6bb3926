#pragma once

#include "platform/Error.h"

#include <QString>

#include <memory>

struct sf_private_tag;

// The recording file: 16-bit PCM WAV, 16 kHz, mono. Its header is rewritten after
// every write, so the file stays valid while it grows and a crash or kill leaves
// every sample written so far readable.
class WavFileWriter final
{
public:
    static constexpr int sampleRate = 16000;

    // Creates (or truncates) the file, creating missing parent folders first. On
    // failure returns null and fills `error` with the system's reason.
    static std::unique_ptr<WavFileWriter> create(const QString& path, platform::Error& error);
    ~WavFileWriter();

    WavFileWriter(const WavFileWriter&) = delete;
    WavFileWriter& operator=(const WavFileWriter&) = delete;

    // False when the samples could not all be written (disk full, I/O error).
    bool write(const qint16* samples, qsizetype count);
    // Finishes the file; later writes are refused.
    void close();

private:
    WavFileWriter(sf_private_tag* file, int fd);

    sf_private_tag* m_file;
    int m_fd;
};
