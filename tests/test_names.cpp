// File names are data: Vexholt prints whatever it was given literally, in
// every message, and follows the name where the file system leads, for
// names with format directives, control characters, bytes that are not
// UTF-8, names at and beyond the file system's limits, links and
// directories.
#include "expect.h"
#include "las_file.h"
#include "reference.h"
#include "run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

using namespace lastest;
namespace fs = std::filesystem;

namespace {

// Output after the banner, or the whole output if there is no banner.
std::string after_banner(const std::string& out) {
    std::size_t at = out.find(kBannerEnd);
    return at == std::string::npos ? out : out.substr(at + kBannerEnd.size());
}

Bytes sample() {
    LasRecipe s;
    s.points = {{10, 20, 30, 1}, {-40, 50, -60, 2}};
    return build_las(s);
}

// Runs Vexholt on name from dir (relative names keep long paths usable) and
// expects the file at path updated and the completion line naming it.
void expect_updated(const std::string& dir, const std::string& name, const std::string& path) {
    const Bytes before = read_file(path);
    RunResult r = run(vexholt_path(), {name}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_banner(r.out), completion(name));
    EXPECT_TRUE(read_file(path) == *reference_update(before)) << name;
}

void expect_refused(const std::string& dir, const std::string& name, const std::string& message) {
    RunResult r = run(vexholt_path(), {name}, dir);
    EXPECT_EQ(r.status, 255) << name;
    EXPECT_EQ(after_banner(r.out), message);
}

const char* const kHostile[] = {
    "%n%n%n%n.las", "%s%s%s%s%s.las", "%x%p%d%c%%%.las", "%99999999999d%1$s%*d.las",
    "line\none.las", "tab\tcr\r.las", "bell\a esc\x1b[31m.las", " lead and trail .las",
    "-starts-with-dash.las", "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac.las", "bad utf8 \xff\xfe\x80\xc0.las",
};

TEST(Names, HostileNamesAreUpdatedAndPrintedLiterally) {
    TempDir d;
    for (const char* name : kHostile) {
        write_file(d.file(name), sample());
        expect_updated(d.path, name, d.file(name));
    }
}

TEST(Names, HostileNamesAppearLiterallyInEveryRejection) {
    TempDir d;
    for (const std::string name : kHostile) {
        SCOPED_TRACE(name);
        expect_refused(d.path, name,
                       "Unable to open file " + name + " in file_access()\n\nFile " + name +
                           " does NOT exist\n");
        Bytes b = sample();
        b[0] = 'X';
        write_file(d.file(name), b);
        expect_refused(d.path, name, "\n" + name + " is not a valid .las file\n\n");
        b = sample();
        b[104] = 7;
        write_file(d.file(name), b);
        expect_refused(d.path, name,
                       "\nPointDataFormatID in " + name + " is 7. Only 0, 1, 2, or 3 is accepted\n");
        b = sample();
        b[105] = 27;
        write_file(d.file(name), b);
        expect_refused(d.path, name,
                       "\nData format of " + name + " (1) is incompatible with Length of Data Record (27)\n");
        b = sample();
        b.resize(200);
        write_file(d.file(name), b);
        expect_refused(d.path, name, "\nCannot read the 227-byte header of " + name + "\n");
    }
    const std::string odd = "%n%s\n.lax";
    write_file(d.file(odd), sample());
    expect_refused(d.path, odd, "\nFile extension of " + odd + " is not .las\n");
}

// Makes dir the working directory for a while, so that long paths can be
// named relative to it whatever its own path's length.
struct WorkIn {
    explicit WorkIn(const std::string& dir) : back(fs::current_path()) { fs::current_path(dir); }
    ~WorkIn() { fs::current_path(back); }
    fs::path back;
};

TEST(Names, NamesAtAndBeyondTheFileSystemLimits) {
    TempDir d;
    WorkIn here(d.path);
    // A component of 255 bytes, the most most file systems allow.
    const std::string longest = std::string(251, 'n') + ".las";
    write_file(longest, sample());
    expect_updated(d.path, longest, longest);

    const std::string too_long = std::string(252, 'n') + ".las";
    expect_refused(d.path, too_long,
                   "Unable to open file " + too_long + " in file_access()\n\nFile " + too_long +
                       " does NOT exist\n");

    // A path of about 4000 bytes through nested directories.
    std::string rel;
    while (rel.size() < 3700) rel += std::string(200, 'd') + "/";
    fs::create_directories(rel);
    const std::string deep = rel + std::string(240, 'f') + ".las";
    ASSERT_GE(deep.size(), 3900u);
    ASSERT_LT(deep.size(), 4096u);
    write_file(deep, sample());
    expect_updated(d.path, deep, deep);

    // Longer than any path the system accepts.
    const std::string beyond = std::string(1100, '/') + rel + rel + "x.las";
    expect_refused(d.path, beyond,
                   "Unable to open file " + beyond + " in file_access()\n\nFile " + beyond +
                       " does NOT exist\n");
}

TEST(Names, LinksAreFollowedAndKept) {
    TempDir d;
    write_file(d.file("target.las"), sample());
    fs::create_symlink("target.las", d.file("link.las"));
    const Bytes target_before = read_file(d.file("target.las"));
    expect_updated(d.path, "link.las", d.file("target.las"));
    EXPECT_TRUE(fs::is_symlink(d.file("link.las")));
    EXPECT_EQ(fs::read_symlink(d.file("link.las")), "target.las");

    // Only the name given is checked for its extension, not the target's.
    write_file(d.file("points.bin"), sample());
    fs::create_symlink(d.file("points.bin"), d.file("alias.las"));
    expect_updated(d.path, "alias.las", d.file("points.bin"));

    fs::create_symlink("nowhere.las", d.file("dangling.las"));
    expect_refused(d.path, "dangling.las",
                   "Unable to open file dangling.las in file_access()\n\nFile dangling.las does NOT exist\n");
    fs::create_symlink("loop.las", d.file("loop.las"));
    expect_refused(d.path, "loop.las",
                   "Unable to open file loop.las in file_access()\n\nFile loop.las does NOT exist\n");
}

TEST(Names, DirectoriesAndOtherNonFilesAreRefused) {
    TempDir d;
    fs::create_directory(d.file("dir.las"));
    expect_refused(d.path, "dir.las", "\ndir.las is too short or unreadable to be a valid .las file\n\n");
    expect_refused(d.path, "dir.las/", "\nExtension of file dir.las/ should be preceeded by a dot (.)\n");
    fs::create_symlink("/dev/null", d.file("null.las"));
    expect_refused(d.path, "null.las", "\nnull.las is too short or unreadable to be a valid .las file\n\n");
    fs::create_symlink("/dev/zero", d.file("zero.las"));
    expect_refused(d.path, "zero.las", "\nzero.las is too short or unreadable to be a valid .las file\n\n");
    // Nothing writes to the pipe: waiting for a writer would stall a batch.
    ASSERT_EQ(mkfifo(d.file("pipe.las").c_str(), 0600), 0);
    expect_refused(d.path, "pipe.las", "\npipe.las is too short or unreadable to be a valid .las file\n\n");
    expect_refused(d.path, "", "Unable to open file  in file_access()\n\nFile  does NOT exist\n");
}

}  // namespace
