#include "WavFileWriter.h"

#include "capture/PlatformRecorder.h"

#include <QFile>

#include <sndfile.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace {
platform::Error fileError(const QString& path, const QString& reason)
{
    return {QString::fromLatin1(kRecorderErrorDomain), FileNotCreated,
            QStringLiteral("Cannot create the recording file %1: %2").arg(path, reason)};
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

    // Opened here rather than by libsndfile so the error carries the system's reason.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = fileError(path, QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    // The descriptor stays ours, so it is closed exactly once on every path.
    SNDFILE* sndfile = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
    if (!sndfile) {
        error = fileError(path, QString::fromLocal8Bit(sf_strerror(nullptr)));
        ::close(fd);
        return nullptr;
    }
    sf_command(sndfile, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    return std::unique_ptr<WavFileWriter>(new WavFileWriter(sndfile, fd));
}

WavFileWriter::WavFileWriter(sf_private_tag* file, int fd)
    : m_file(file)
    , m_fd(fd)
{
}

WavFileWriter::~WavFileWriter()
{
    close();
}

bool WavFileWriter::write(const qint16* samples, qsizetype count)
{
    if (!m_file)
        return false;
    return sf_write_short(m_file, samples, sf_count_t(count)) == sf_count_t(count);
}

void WavFileWriter::close()
{
    if (m_file) {
        sf_close(m_file);
        ::close(m_fd);
        m_file = nullptr;
    }
}
