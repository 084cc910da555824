#pragma once
// Measures a recorded tone: level and frequency of signed 16-bit mono samples, and the
// level of one tone in a mix. Shared by
// the audio output tests and the end-to-end sound tests.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace zevo::tone {

inline double Rms(const std::vector<int16_t>& s) {
    double sum = 0;
    for (int16_t v : s) sum += static_cast<double>(v) * v;
    return s.empty() ? 0 : std::sqrt(sum / static_cast<double>(s.size()));
}

// Rising zero crossings per second, interpolated between samples.
inline double Frequency(const std::vector<int16_t>& s, double sampleRate) {
    double first = -1;
    double last = -1;
    int crossings = 0;
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i - 1] < 0 && s[i] >= 0) {
            const double at = static_cast<double>(i - 1) + (-s[i - 1]) / double(s[i] - s[i - 1]);
            if (first < 0) {
                first = at;
            } else {
                ++crossings;
            }
            last = at;
        }
    }
    return crossings > 0 ? crossings * sampleRate / (last - first) : 0;
}

// Amplitude of the sine at hz in the samples (Goertzel): tells the tones of a mix apart.
inline double Level(const std::vector<int16_t>& s, double hz, double sampleRate) {
    const double w = 2 * M_PI * hz / sampleRate;
    double s1 = 0, s2 = 0;
    for (int16_t v : s) {
        const double s0 = v + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
    return s.empty() ? 0 : 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(s.size());
}

}  // namespace zevo::tone
