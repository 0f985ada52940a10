// Threads of a family tool checking and updating distinct files at once:
// each gets exactly what it would get alone. Run under ThreadSanitizer by
// .ci/tsan, where any shared state in the module shows as a race.
#include "expect.h"
#include "las_file.h"
#include "reference.h"
#include "update.h"

#include "LiDAR.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace lastest;

TEST(Threads, CheckAndUpdateOfDistinctFilesAtOnce) {
    TempDir d;
    constexpr int kThreads = 4, kRounds = 25;
    std::vector<Bytes> originals;
    for (int t = 0; t < kThreads; ++t) {
        LasRecipe s;
        s.format = static_cast<std::uint8_t>(t);
        s.points = spread_points(3000 * (t + 1));
        originals.push_back(build_las(s));
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string f = d.file(std::to_string(t) + ".las");
            const Bytes want = *reference_update(originals[t]);
            for (int round = 0; round < kRounds; ++round) {
                write_file(f, originals[t]);
                if (check_las(f.c_str()) != 5 + t) ++wrong;  // LAS 1.2, format t
                if (lidar::update_header_core(f.c_str()) != 0 || read_file(f) != want) ++wrong;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}
