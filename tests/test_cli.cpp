// Vexholt's command line, run as a process: what it prints, its exit status,
// and that nothing is touched when it refuses to run.
#include "expect.h"
#include "run.h"

#include <gtest/gtest.h>

using namespace lastest;

namespace {

const int kFailure = 255;        // exit(-1) as a POSIX parent sees it

std::string usage_output() {
    return "\n\nWrong number of arguments specified\n" + banner() + "\nUsage: Vexholt <LAS File>\n\n";
}

Bytes valid_file() {
    LasRecipe s;
    s.points = {{1, 2, 3, 1}, {-4, 5, -6, 2}};
    return build_las(s);
}

TEST(Banner, FixedLinesFrameThreeIdentificationLines) {
    const std::string head = "\nCorvale LiDAR Utilities\n\n";
    const std::string tail =
        "\n\n** No warranty regarding script behavior is given or implied **"
        "\n** Acknowledging the author's efforts ensures script updates and availability **\n";
    const std::string b = banner();
    ASSERT_GT(b.size(), head.size() + tail.size());
    EXPECT_EQ(b.substr(0, head.size()), head);
    EXPECT_EQ(b.substr(b.size() - tail.size()), tail);

    // Maintainer, organisation and address: three non-empty lines.
    std::string middle = b.substr(head.size(), b.size() - head.size() - tail.size());
    int lines = 0;
    for (std::size_t at = 0; at <= middle.size(); ++lines) {
        std::size_t nl = middle.find('\n', at);
        if (nl == std::string::npos) nl = middle.size();
        EXPECT_GT(nl, at) << "empty identification line in: " << middle;
        EXPECT_EQ(middle.substr(at, nl - at).find('\r'), std::string::npos);
        at = nl + 1;
    }
    EXPECT_EQ(lines, 3) << middle;
}

TEST(Cli, WrongArgumentCountPrintsUsageAndTouchesNothing) {
    TempDir d;
    const std::string a = d.file("a.las"), b = d.file("b.las");
    const Bytes bytes = valid_file();
    write_file(a, bytes);
    write_file(b, bytes);

    const std::vector<std::vector<std::string>> cases = {{}, {a, b}, {a, b, a}, {"", ""}};
    for (const auto& args : cases) {
        SCOPED_TRACE(args.size());
        RunResult r = run(vexholt_path(), args);
        EXPECT_EQ(r.status, kFailure);
        EXPECT_EQ(r.out, usage_output());
    }
    EXPECT_EQ(read_file(a), bytes);
    EXPECT_EQ(read_file(b), bytes);
}

TEST(Cli, NameThatCannotBeOpenedIsRejectedAfterTheBanner) {
    TempDir d;
    // Dash-leading names are names, not options.
    for (const char* text : {"", "missing.las", "-h", "--help", "-"}) {
        const std::string name = text;
        SCOPED_TRACE("name '" + name + "'");
        RunResult r = run(vexholt_path(), {name}, d.path);
        EXPECT_EQ(r.status, kFailure);
        EXPECT_EQ(r.out, banner() + "Unable to open file " + name + " in file_access()\n" +
                             "\nFile " + name + " does NOT exist\n");
    }
}

TEST(Cli, SuccessPrintsBannerThenCompletionWithoutNewline) {
    TempDir d;
    write_file(d.file("-x.las"), valid_file());
    write_file(d.file("t.las"), valid_file());

    // The name is echoed exactly as given: relative, dash-leading or absolute.
    for (const std::string& name : {std::string("-x.las"), std::string("./t.las"), d.file("t.las")}) {
        SCOPED_TRACE(name);
        RunResult r = run(vexholt_path(), {name}, d.path);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, banner() + completion(name));
    }
    EXPECT_EQ(get_u32(read_file(d.file("-x.las")), 107), 2u);
}

}  // namespace
