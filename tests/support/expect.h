// Expectations shared by the tests: the banner, the completion line, the
// header fields an update may touch, and real-world values computed the way
// the header must hold them.
#pragma once

#include "LiDAR.h"
#include "las_file.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <string>

namespace lastest {

// What every run of Vexholt prints first.
inline std::string banner() {
    testing::internal::CaptureStdout();
    credits();
    return testing::internal::GetCapturedStdout();
}

// The banner's last line: what a run prints after it is its own.
inline const std::string kBannerEnd =
    "\n** Acknowledging the author's efforts ensures script updates and availability **\n";

inline std::string completion(const std::string& name) {
    return "\rHeader of file " + name + " has been updated    ";
}

// What a routine returned and printed, standard output captured in this
// process.
struct Printed {
    int result;
    std::string out;
};

inline Printed capture(const std::function<int()>& call) {
    testing::internal::CaptureStdout();
    int result = call();
    return {result, testing::internal::GetCapturedStdout()};
}

// The product is stored before the offset is added, so no fused
// multiply-add can sneak in whatever the compiler flags.
inline double world(std::int32_t v, double scale, double offset) {
    volatile double product = static_cast<double>(v) * scale;
    return product + offset;
}

inline std::uint64_t bits_of(double v) { return std::bit_cast<std::uint64_t>(v); }

// Point count, counts by return and extents: the only bytes an update writes
// differently.
inline bool is_stat_byte(std::size_t i) { return (i >= 107 && i < 131) || (i >= 179 && i < 227); }

inline testing::AssertionResult only_stats_changed(const Bytes& before, const Bytes& after) {
    if (before.size() != after.size())
        return testing::AssertionFailure()
               << "size " << before.size() << " became " << after.size();
    for (std::size_t i = 0; i < before.size(); ++i)
        if (!is_stat_byte(i) && before[i] != after[i])
            return testing::AssertionFailure() << "byte " << i << " changed";
    return testing::AssertionSuccess();
}

// Compares the six stored extents bit for bit with the expected values, in
// header order MaxX MinX MaxY MinY MaxZ MinZ.
inline void expect_extents(const Bytes& header, const double (&want)[6]) {
    static const char* const kNames[6] = {"MaxX", "MinX", "MaxY", "MinY", "MaxZ", "MinZ"};
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(bits_of(get_f64(header, 179 + 8 * k)), bits_of(want[k]))
            << kNames[k] << " is " << get_f64(header, 179 + 8 * k) << ", expected " << want[k];
}

}  // namespace lastest
