#pragma once

#include "MenuBarManager.h"
#include "capture/AudioRecorder.h"

#include <memory>

// The application: one recorder for the whole process, and the tray manager that
// shares it with the recorder window. No window opens at start.
class QuenloAppApp final
{
public:
    QuenloAppApp()
        : m_recorder(std::make_unique<AudioRecorder>())
        , m_menuBarManager(std::make_unique<MenuBarManager>(*m_recorder))
    {
    }

    AudioRecorder& recorder() const { return *m_recorder; }
    MenuBarManager& menuBarManager() const { return *m_menuBarManager; }

    // At exit: writes what the input still buffers into the recording file and closes
    // it, without stopping the recording the way Stop does (no state change, nothing
    // printed). Quenlo then ends without destroying this object or running its event
    // loop again, so the window's view, which still holds the recorder, is not used.
    void finishRecordingFile() { m_recorder.reset(); }

private:
    // Destroyed in reverse order where an application is destroyed at all (tests):
    // the manager first, as its window's view still uses the recorder.
    std::unique_ptr<AudioRecorder> m_recorder;
    std::unique_ptr<MenuBarManager> m_menuBarManager;
};
