#pragma once

#include "transcription/Recognizer.h"

#include <QString>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// A scripted recogniser. The test keeps `Log` (shared) to script results and read
// what the runner asked for after the runner, which owns the recogniser, is gone.
class FakeRecognizer final : public Recognizer
{
public:
    struct Run
    {
        int result = 0;
        std::vector<std::optional<std::string>> segments; // nullopt: a null text
    };

    struct Log
    {
        std::mutex mutex;
        bool opens = true;                   // initFromFile succeeds
        std::vector<Run> runs;               // consumed in order; the last one repeats
        std::chrono::milliseconds workTime{0}; // time spent in full(), to widen races
        // Observed:
        std::vector<std::string> openedPaths;
        std::vector<whisper_full_params> params;
        std::vector<std::vector<float>> samples;
        std::vector<std::string> events; // "full" and "free", in order
        int segmentReads = 0;
        int active = 0;
        int maxActive = 0;
    };

    explicit FakeRecognizer(std::shared_ptr<Log> log)
        : m_log(std::move(log))
    {
    }

    whisper_context_params contextDefaultParams() override
    {
        return whisper_context_default_params();
    }

    whisper_context* initFromFile(const char* path, whisper_context_params) override
    {
        std::lock_guard lock(m_log->mutex);
        m_log->openedPaths.emplace_back(path);
        return m_log->opens ? handle() : nullptr;
    }

    whisper_full_params fullDefaultParams(whisper_sampling_strategy strategy) override
    {
        return whisper_full_default_params(strategy);
    }

    int full(whisper_context* context, whisper_full_params params, const float* samples,
             int sampleCount) override
    {
        std::chrono::milliseconds workTime;
        {
            std::lock_guard lock(m_log->mutex);
            if (context != handle())
                return -1000;
            m_log->maxActive = std::max(m_log->maxActive, ++m_log->active);
            m_log->params.push_back(params);
            m_log->samples.emplace_back(samples, samples + sampleCount);
            workTime = m_log->workTime;
        }
        std::this_thread::sleep_for(workTime);
        std::lock_guard lock(m_log->mutex);
        --m_log->active;
        m_log->events.emplace_back("full");
        m_current = m_log->runs.empty() ? Run{} : m_log->runs.front();
        if (m_log->runs.size() > 1)
            m_log->runs.erase(m_log->runs.begin());
        return m_current.result;
    }

    int segmentCount(whisper_context*) override
    {
        return int(m_current.segments.size());
    }

    const char* segmentText(whisper_context*, int index) override
    {
        std::lock_guard lock(m_log->mutex);
        ++m_log->segmentReads;
        const auto& text = m_current.segments.at(size_t(index));
        return text ? text->c_str() : nullptr;
    }

    void free(whisper_context* context) override
    {
        std::lock_guard lock(m_log->mutex);
        m_log->events.emplace_back(context == handle() ? "free" : "free of a foreign handle");
    }

private:
    whisper_context* handle() { return reinterpret_cast<whisper_context*>(&m_handle); }

    std::shared_ptr<Log> m_log;
    Run m_current;
    char m_handle = 0;
};
