#pragma once

#include "platform/Error.h"

#include <QString>

#include <memory>

// The recording file: 16-bit PCM WAV, 16 kHz, mono. It is written under a hidden name
// beside its final place and moved there by publish(), so a recording that never
// starts leaves the previous file as it was. Its header is rewritten after every
// write and always describes exactly the samples on disk: a crash, a kill or a full
// disk leaves every sample written so far readable.
class WavFileWriter final
{
public:
    static constexpr int sampleRate = 16000;
    static constexpr int headerSize = 44;

    // Creates the hidden file beside `path`, creating missing parent folders first;
    // `path` itself is not touched. On failure returns null and fills `error` with
    // the system's reason.
    static std::unique_ptr<WavFileWriter> create(const QString& path, platform::Error& error);
    // Removes the hidden file if it was never published.
    ~WavFileWriter();

    WavFileWriter(const WavFileWriter&) = delete;
    WavFileWriter& operator=(const WavFileWriter&) = delete;

    // Moves the file to its final path, replacing what was there. Later writes still
    // reach it. On failure fills `error`, and the file stays hidden.
    bool publish(platform::Error& error);
    bool isPublished() const { return m_published; }

    // False when the samples could not all be written (disk full, I/O error). The
    // first failure ends the file: what reached the disk stays, described by the
    // header, and every later write is refused.
    bool write(const qint16* samples, qsizetype count);
    // The system's reason for the first failed write; empty while all went well.
    const QString& writeError() const { return m_writeError; }
    qint64 dataBytes() const { return m_dataBytes; }
    // Finishes the file; later writes are refused.
    void close();

private:
    WavFileWriter(int fd, QByteArray hiddenPath, QByteArray finalPath);
    bool writeHeader();
    void fail(int error);

    int m_fd;
    QByteArray m_hiddenPath;
    QByteArray m_finalPath;
    bool m_published = false;
    qint64 m_dataBytes = 0;
    QString m_writeError;
};
