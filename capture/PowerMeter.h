#pragma once

#include <QtGlobal>

// Average power of 16-bit samples in dB relative to full scale, over the samples
// added since the previous reading.
class PowerMeter final
{
public:
    static constexpr float silence = -160.0f;

    void add(const qint16* samples, qsizetype count);
    // A reading with no new samples repeats the previous one, so a tick that
    // arrives between two audio buffers does not drop the level to silence.
    float take();

private:
    double m_sumOfSquares = 0.0;
    qint64 m_count = 0;
    float m_last = silence;
};
