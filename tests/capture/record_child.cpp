// Records from the default input until it is killed; the capture test kills it
// mid-recording and reads back what it left.
#include "capture/AudioRecorder.h"

#include <QCoreApplication>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    AudioRecorder recorder;
    recorder.startRecording();
    if (!recorder.isRecording())
        return 1;
    return app.exec();
}
