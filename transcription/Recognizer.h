#pragma once

#include <whisper.h>

#include <memory>

// The whisper.cpp calls the transcription engine makes, behind an interface so tests
// can script segments and result codes. Implementations are called from the main
// thread (context setup and release) and from the runner's one background worker
// (the run itself), never from two threads at once for the same context.
class Recognizer
{
public:
    virtual ~Recognizer();

    virtual whisper_context_params contextDefaultParams() = 0;
    // Null when the file cannot be opened or is not a model the library accepts; the
    // library's recogniser also refuses any file that fails modelFileProblem().
    virtual whisper_context* initFromFile(const char* path, whisper_context_params params) = 0;
    virtual whisper_full_params fullDefaultParams(whisper_sampling_strategy strategy) = 0;
    // 0 on success; afterwards the context holds the segments of this call.
    virtual int full(whisper_context* context, whisper_full_params params, const float* samples,
                     int sampleCount) = 0;
    virtual int segmentCount(whisper_context* context) = 0;
    // UTF-8 bytes valid until the next call on the context, or null.
    virtual const char* segmentText(whisper_context* context, int index) = 0;
    virtual void free(whisper_context* context) = 0;
};

// The recogniser backed by the whisper.cpp library.
std::unique_ptr<Recognizer> makeWhisperRecognizer();

// The decoding parameters of every run: `greedyDefaults` (the library's defaults for
// greedy sampling) with threads, translation, the four print flags and the language
// set, and nothing else changed. Shared with the benchmark so both decode alike.
whisper_full_params decodingParams(whisper_full_params greedyDefaults);
