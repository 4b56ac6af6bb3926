#include "WavFileWriter.h"

#include "capture/PlatformRecorder.h"

#include <QFile>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

platform::Error fileError(const QString& path, const QString& reason)
{
    return {QString::fromLatin1(kRecorderErrorDomain), FileNotCreated,
            QStringLiteral("Cannot create the recording file %1: %2").arg(path, reason)};
}

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

void putLE(unsigned char* at, quint32 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The canonical 44-byte header of 16-bit mono PCM at the recording rate.
std::array<unsigned char, WavFileWriter::headerSize> header(quint32 dataBytes)
{
    std::array<unsigned char, WavFileWriter::headerSize> h{};
    std::memcpy(&h[0], "RIFF", 4);
    putLE(&h[4], 36 + dataBytes, 4);
    std::memcpy(&h[8], "WAVEfmt ", 8);
    putLE(&h[16], 16, 4);                             // fmt chunk size
    putLE(&h[20], 1, 2);                              // PCM
    putLE(&h[22], 1, 2);                              // channels
    putLE(&h[24], WavFileWriter::sampleRate, 4);
    putLE(&h[28], WavFileWriter::sampleRate * 2, 4); // bytes per second
    putLE(&h[32], 2, 2);                              // bytes per frame
    putLE(&h[34], 16, 2);                             // bits per sample
    std::memcpy(&h[36], "data", 4);
    putLE(&h[40], dataBytes, 4);
    return h;
}

// Writes all of `bytes` at `offset`; `written` counts what reached the file, also when
// a write fails part-way. A write that makes no progress is a full disk.
bool writeAllAt(int fd, const unsigned char* bytes, size_t size, off_t offset, size_t& written)
{
    written = 0;
    while (written < size) {
        const ssize_t done = ::pwrite(fd, bytes + written, size - written, offset + off_t(written));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            if (done == 0)
                errno = ENOSPC;
            return false;
        }
        written += size_t(done);
    }
    return true;
}

} // namespace

std::unique_ptr<WavFileWriter> WavFileWriter::create(const QString& path, platform::Error& error)
{
    const std::filesystem::path file(QFile::encodeName(path).toStdString());
    // A fresh account often has no documents folder yet.
    std::error_code ec;
    if (file.has_parent_path())
        std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) {
        error = fileError(path, QString::fromLocal8Bit(ec.message()));
        return nullptr;
    }
    // The rename would fail only after the input has started; say so now.
    struct stat target{};
    if (::stat(file.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
        error = fileError(path, systemReason(EISDIR));
        return nullptr;
    }

    QByteArray hidden = QByteArray::fromStdString(
        (file.parent_path() / ("." + file.filename().string() + ".XXXXXX")).string());
    const int fd = ::mkostemp(hidden.data(), O_CLOEXEC);
    if (fd < 0) {
        error = fileError(path, systemReason(errno));
        return nullptr;
    }
    ::fchmod(fd, 0644); // an ordinary document, not mkstemp's private 0600
    std::unique_ptr<WavFileWriter> writer(
        new WavFileWriter(fd, hidden, QByteArray::fromStdString(file.string())));
    if (!writer->writeHeader()) {
        error = fileError(path, systemReason(errno));
        return nullptr; // the destructor removes the hidden file
    }
    return writer;
}

WavFileWriter::WavFileWriter(int fd, QByteArray hiddenPath, QByteArray finalPath)
    : m_fd(fd)
    , m_hiddenPath(std::move(hiddenPath))
    , m_finalPath(std::move(finalPath))
{
}

WavFileWriter::~WavFileWriter()
{
    close();
}

bool WavFileWriter::publish(platform::Error& error)
{
    if (m_published)
        return true;
    if (m_fd < 0 || ::rename(m_hiddenPath.constData(), m_finalPath.constData()) != 0) {
        error = fileError(QFile::decodeName(m_finalPath), systemReason(m_fd < 0 ? EBADF : errno));
        return false;
    }
    m_published = true;
    return true;
}

bool WavFileWriter::write(const qint16* samples, qsizetype count)
{
    if (m_fd < 0 || !m_writeError.isEmpty())
        return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(samples);
    const size_t left = size_t(count) * sizeof(qint16);
    // The header's sizes are 32-bit: a longer recording ends where they end.
    if (quint64(headerSize + m_dataBytes) + left > 0xFFFFFFFFull) {
        fail(EFBIG);
        return false;
    }
    size_t written = 0;
    const bool complete = writeAllAt(m_fd, bytes, left, headerSize + m_dataBytes, written);
    m_dataBytes += qint64(written);
    if (!complete) {
        fail(errno);
        return false;
    }
    if (!writeHeader()) {
        fail(errno);
        return false;
    }
    return true;
}

void WavFileWriter::fail(int error)
{
    m_writeError = systemReason(error);
    // Half a sample may have reached the disk: cut it, so the file holds whole samples.
    if (m_dataBytes % 2 != 0 && ::ftruncate(m_fd, headerSize + m_dataBytes - 1) == 0)
        --m_dataBytes;
    // Rewrites bytes already on disk, so it needs no new space.
    writeHeader();
}

bool WavFileWriter::writeHeader()
{
    const auto bytes = header(quint32(m_dataBytes));
    size_t written = 0;
    return writeAllAt(m_fd, bytes.data(), bytes.size(), 0, written);
}

void WavFileWriter::close()
{
    if (m_fd < 0)
        return;
    ::close(m_fd);
    m_fd = -1;
    if (!m_published)
        ::unlink(m_hiddenPath.constData());
}
