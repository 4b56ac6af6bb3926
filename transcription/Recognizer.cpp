#include "Recognizer.h"

#include "platform/System.h"
#include "transcription/ModelFileCheck.h"

#include <cstdio>

Recognizer::~Recognizer() = default;

namespace {

class WhisperRecognizer final : public Recognizer
{
public:
    whisper_context_params contextDefaultParams() override
    {
        return whisper_context_default_params();
    }

    // The library trusts every size in the file, so a damaged one could crash it or
    // load as an empty model: it only ever sees files that pass the check.
    whisper_context* initFromFile(const char* path, whisper_context_params params) override
    {
        if (const std::string problem = transcription::modelFileProblem(path); !problem.empty()) {
            std::fprintf(stderr, "whisper model %s refused: %s\n", path, problem.c_str());
            return nullptr;
        }
        return whisper_init_from_file_with_params(path, params);
    }

    whisper_full_params fullDefaultParams(whisper_sampling_strategy strategy) override
    {
        return whisper_full_default_params(strategy);
    }

    int full(whisper_context* context, whisper_full_params params, const float* samples,
             int sampleCount) override
    {
        return whisper_full(context, params, samples, sampleCount);
    }

    int segmentCount(whisper_context* context) override
    {
        return whisper_full_n_segments(context);
    }

    const char* segmentText(whisper_context* context, int index) override
    {
        return whisper_full_get_segment_text(context, index);
    }

    void free(whisper_context* context) override
    {
        whisper_free(context);
    }
};

} // namespace

std::unique_ptr<Recognizer> makeWhisperRecognizer()
{
    return std::make_unique<WhisperRecognizer>();
}

whisper_full_params decodingParams(whisper_full_params greedyDefaults)
{
    whisper_full_params params = greedyDefaults;
    params.n_threads = platform::activeProcessorCount(); // every processor, no cap
    params.translate = false;
    params.print_special = false;
    params.print_progress = false;
    params.print_realtime = false;
    params.print_timestamps = false;
    params.language = nullptr; // the library identifies the spoken language
    return params;
}
