#pragma once

#include <QString>

namespace platform {

// Keeps a second Quenlo of the same user from starting: both would record into the
// one recording file. The lock is an advisory lock on a file in the user's runtime
// directory, held for the life of the object; the kernel drops it when the process
// ends in any way, so a crashed or killed Quenlo never blocks the next start.
class InstanceLock final
{
public:
    enum class Result { Acquired, HeldElsewhere, Unavailable };

    // Tries once, without waiting. `path` empty: the default lock file.
    explicit InstanceLock(const QString& path = {});
    ~InstanceLock();

    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    Result result() const { return m_result; }
    QString path() const { return m_path; }
    // Why the lock file could not be used, when result() is Unavailable.
    QString errorString() const { return m_error; }

    // "quenlo.lock" in $XDG_RUNTIME_DIR (Qt's runtime location when unset).
    static QString defaultPath();

private:
    QString m_path;
    int m_fd = -1;
    Result m_result = Result::Unavailable;
    QString m_error;
};

} // namespace platform
