#include "InstanceLock.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

InstanceLock::InstanceLock(const QString& path)
    : m_path(path.isEmpty() ? defaultPath() : path)
{
    // A relative path here would depend on the working directory of each start.
    if (m_path.isEmpty() || QDir::isRelativePath(m_path)) {
        m_error = QStringLiteral("no runtime directory");
        return;
    }
    const QByteArray name = QFile::encodeName(m_path);
    m_fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    int status;
    do {
        status = ::flock(m_fd, LOCK_EX | LOCK_NB);
    } while (status != 0 && errno == EINTR);
    if (status == 0) {
        m_result = Result::Acquired;
        return;
    }
    m_result = errno == EWOULDBLOCK ? Result::HeldElsewhere : Result::Unavailable;
    if (m_result == Result::Unavailable)
        m_error = QString::fromLocal8Bit(std::strerror(errno));
    ::close(m_fd);
    m_fd = -1;
}

InstanceLock::~InstanceLock()
{
    // Closing the last descriptor releases the lock; the file itself stays, since
    // removing it could race with a start that has just opened it.
    if (m_fd >= 0)
        ::close(m_fd);
}

QString InstanceLock::defaultPath()
{
    // Per user, not per display: a second display of the same user writes the same
    // recording file.
    const QString directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return directory.isEmpty() ? QString() : directory + QStringLiteral("/quenlo.lock");
}

} // namespace platform
