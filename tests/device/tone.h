#pragma once
// Measures a sine tone in 16-bit samples, to compare what arrives with what was sent.
#include <cmath>
#include <cstdint>
#include <vector>

namespace zevo::camd::testing {

// Frequency from the rising zero crossings, interpolated between samples.
inline double EstimateFrequency(const std::vector<int16_t>& s, double rate) {
    double first = -1, last = -1;
    int crossings = 0;
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i - 1] < 0 && s[i] >= 0) {
            double t = double(i - 1) + double(-s[i - 1]) / double(s[i] - s[i - 1]);
            if (first < 0) {
                first = t;
            } else {
                ++crossings;
            }
            last = t;
        }
    }
    if (crossings == 0) return 0;
    return crossings * rate / (last - first);
}

// Peak amplitude of a sine from its RMS, as a fraction of full scale.
inline double EstimateLevel(const std::vector<int16_t>& s) {
    if (s.empty()) return 0;
    double sum = 0;
    for (int16_t v : s) sum += double(v) * double(v);
    return std::sqrt(sum / double(s.size())) * std::sqrt(2.0) / 32768.0;
}

// Share of the signal's power at one frequency (Goertzel), 0..1.
inline double ToneShare(const std::vector<int16_t>& s, double frequency, double rate) {
    double w = 2 * M_PI * frequency / rate;
    double coeff = 2 * std::cos(w);
    double s1 = 0, s2 = 0, total = 0;
    for (int16_t v : s) {
        double s0 = v + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
        total += double(v) * double(v);
    }
    double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    if (total <= 0) return 0;
    return 2 * power / (double(s.size()) * total);
}

}  // namespace zevo::camd::testing
