#include "PowerMeter.h"

#include <algorithm>
#include <cmath>

void PowerMeter::add(const qint16* samples, qsizetype count)
{
    double sum = 0.0;
    for (qsizetype i = 0; i < count; ++i)
        sum += double(samples[i]) * double(samples[i]);
    m_sumOfSquares += sum;
    m_count += count;
}

float PowerMeter::take()
{
    if (m_count > 0) {
        constexpr double fullScale = 32768.0;
        const double meanSquare = m_sumOfSquares / double(m_count) / (fullScale * fullScale);
        m_last = meanSquare > 0.0 ? std::max(silence, float(10.0 * std::log10(meanSquare))) : silence;
        m_sumOfSquares = 0.0;
        m_count = 0;
    }
    return m_last;
}
