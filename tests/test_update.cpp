// The header update end to end: Vexholt run as a process on files written
// byte by byte.
#include "las_file.h"
#include "run.h"

#include <gtest/gtest.h>

using namespace lastest;

namespace {

const std::string kBannerEnd =
    "\n** Acknowledging the author's efforts ensures script updates and availability **\n";

TEST(Update, StaleHeaderIsCorrectedAndOnlyStatisticsChange) {
    TempDir d;
    LasSpec s;
    s.format = 1;
    s.points = {{100, -5, 7, 1}, {-300, 40, 9, 2}, {50, 10, -2, 0x81}, {0, 0, 0, 6}};
    s.trailing = 3;
    const std::string f = d.file("a.las");
    const Bytes before = build_las(s);
    write_file(f, before);

    RunResult r = run(vexholt_path(), {f});
    EXPECT_EQ(r.status, 0);
    const std::string tail = kBannerEnd + "\rHeader of file " + f + " has been updated    ";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);

    const Bytes after = read_file(f);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
        bool stat_field = (i >= 107 && i < 131) || (i >= 179 && i < 227);
        if (!stat_field) {
            ASSERT_EQ(after[i], before[i]) << "byte " << i;
        }
    }
    EXPECT_EQ(get_u32(after, 107), 4u);
    EXPECT_EQ(get_u32(after, 111), 2u);  // return 1, including the 0x81 byte
    EXPECT_EQ(get_u32(after, 115), 1u);
    EXPECT_EQ(get_u32(after, 119), 0u);
    EXPECT_EQ(get_f64(after, 179), 100 * 0.01);
    EXPECT_EQ(get_f64(after, 187), -300 * 0.01);
    EXPECT_EQ(get_f64(after, 219), -2 * 0.01);

    RunResult again = run(vexholt_path(), {f});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(read_file(f), after);
}

}  // namespace
