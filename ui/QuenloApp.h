#pragma once

#include "MenuBarManager.h"
#include "capture/AudioRecorder.h"

#include <memory>

// The application: one recorder for the whole process, and the tray manager that
// shares it with the recorder window. No window opens at start.
class QuenloAppApp final
{
public:
    explicit QuenloAppApp(std::unique_ptr<platform::TrayHost> tray = platform::systemTrayHost())
        : m_recorder(std::make_unique<AudioRecorder>())
        , m_menuBarManager(std::make_unique<MenuBarManager>(*m_recorder, menubar::defaultTrayIconSource(),
                                                            menubar::RecorderViewFactory{}, std::move(tray)))
    {
    }

    AudioRecorder& recorder() const { return *m_recorder; }
    MenuBarManager& menuBarManager() const { return *m_menuBarManager; }

    // At exit: the recording in progress, if any, is kept on disk. Every object stays
    // alive until the process ends.
    void finishRecordingFile() { m_recorder->finishRecordingFile(); }

private:
    // Destroyed in reverse order where an application is destroyed at all (tests):
    // the manager first, as its window's view still uses the recorder.
    std::unique_ptr<AudioRecorder> m_recorder;
    std::unique_ptr<MenuBarManager> m_menuBarManager;
};
