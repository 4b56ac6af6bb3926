#pragma once

// A PulseAudio server that only one test uses (tests/support/private-pulse.sh), so
// the test may unplug its inputs, empty it, kill it and start it again without
// disturbing the session's server that other tests share. The including test
// defines PRIVATE_PULSE as the script's path.
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

class PrivateServer
{
public:
    // QUENLO_TEST_SOUND_SERVER=pipewire runs PipeWire's PulseAudio server instead.
    static bool isPipeWire() { return qEnvironmentVariable("QUENLO_TEST_SOUND_SERVER") == QStringLiteral("pipewire"); }

    // The first program the server needs that is not installed, or an empty string.
    static QString missingTool()
    {
        const QStringList tools = isPipeWire()
                                      ? QStringList{"pipewire", "wireplumber", "pipewire-pulse", "dbus-run-session",
                                                    "sox", "pacat", "pactl"}
                                      : QStringList{"pulseaudio", "pactl"};
        for (const QString& tool : tools)
            if (QStandardPaths::findExecutable(tool).isEmpty())
                return tool;
        return {};
    }

    // `kind` as the script takes it: microphone, silent, two-inputs, speakers or
    // monitor-default.
    bool start(const QString& kind = QStringLiteral("microphone"))
    {
        return QProcess::execute(QStringLiteral(PRIVATE_PULSE), {QStringLiteral("start"), m_dir.path(), kind}) == 0;
    }
    void kill() { QProcess::execute(QStringLiteral(PRIVATE_PULSE), {QStringLiteral("kill"), m_dir.path()}); }
    ~PrivateServer() { kill(); }
    QString address() const { return QStringLiteral("unix:") + m_dir.filePath(QStringLiteral("pulse-native")); }
    // Points the next sound server connection of this process here.
    void use() const { qputenv("PULSE_SERVER", address().toUtf8()); }

    // pactl against this server: its output, trimmed; `ok`, if given, says whether it
    // succeeded.
    QString pactl(const QStringList& arguments, bool* ok = nullptr) const
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PULSE_SERVER"), address());
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral("pactl"), arguments);
        const bool done = process.waitForFinished(10000);
        if (ok)
            *ok = done && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

    // Unplugs a source: unloads the module that provides it.
    bool unplug(const QString& source) const
    {
        const QString wanted = QStringLiteral("source_name=") + source;
        for (const QString& line : pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("modules")})
                                       .split(u'\n')) {
            const QStringList fields = line.split(u'\t');
            if (fields.size() >= 3 && fields[2].split(u' ').contains(wanted)) {
                bool ok = false;
                pactl({QStringLiteral("unload-module"), fields[0]}, &ok);
                return ok;
            }
        }
        return false;
    }

private:
    QTemporaryDir m_dir;
};
