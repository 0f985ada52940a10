// Validation and the file-name checks, called in process: exact results and
// exact output, and no descriptor left open by any call.
#include "expect.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#ifdef _WIN32
#include <io.h>
#endif

using namespace lastest;

namespace {

#ifdef _WIN32
// The module opens files through the C runtime, so its descriptor table
// (at most 2048 entries in msvcrt) is where a leak would show.
int open_descriptors() {
    int n = 0;
    for (int fd = 0; fd < 2048; ++fd) n += _get_osfhandle(fd) != -1;
    return n;
}
#else
int open_descriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}
#endif

Printed capture_closed(const std::function<int()>& check) {
    const int before = open_descriptors();
    Printed p = capture(check);
    EXPECT_EQ(open_descriptors(), before) << "a descriptor was left open";
    return p;
}

Printed check(const std::string& path) {
    return capture_closed([&] { return check_las(path.c_str()); });
}

class CheckLas : public testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("t.las");
    Printed check_bytes(const Bytes& b) {
        write_file(path, b);
        return check(path);
    }
    Printed check_recipe(const LasRecipe& s) { return check_bytes(build_las(s)); }
};

TEST_F(CheckLas, TypeCodeForEveryVersionAndFormat) {
    // Rows: minor version 0, 1, 2; columns: point format 0, 1, 2, 3.
    const int codes[3][4] = {{1, 2, 0, 0}, {3, 4, 0, 0}, {5, 6, 7, 8}};
    for (int minor = 0; minor <= 2; ++minor)
        for (int format = 0; format <= 3; ++format) {
            SCOPED_TRACE("1." + std::to_string(minor) + " format " + std::to_string(format));
            LasRecipe s;
            s.minor = static_cast<std::uint8_t>(minor);
            s.format = static_cast<std::uint8_t>(format);
            Printed p = check_recipe(s);
            EXPECT_EQ(p.result, codes[minor][format]);
            EXPECT_EQ(p.out, "");
        }
}

TEST_F(CheckLas, CodeZeroIgnoresTheRecordLength) {
    for (int minor : {0, 1})
        for (int format : {2, 3})
            for (int length : {0, 20, 26, 34, 36, 65535}) {
                SCOPED_TRACE(std::to_string(minor) + "/" + std::to_string(format) + "/" +
                             std::to_string(length));
                LasRecipe s;
                s.minor = static_cast<std::uint8_t>(minor);
                s.format = static_cast<std::uint8_t>(format);
                s.record_length = length;
                Printed p = check_recipe(s);
                EXPECT_EQ(p.result, 0);
                EXPECT_EQ(p.out, "");
            }
}

TEST_F(CheckLas, FirstFailingFieldDecidesTheMessage) {
    const std::string n = path;
    struct Row {
        const char* what;
        std::function<void(Bytes&)> change;
        std::string message;
    };
    const Row rows[] = {
        {"lower-case signature", [](Bytes& b) { std::memcpy(&b[0], "lasf", 4); },
         "\n" + n + " is not a valid .las file\n\n"},
        {"one signature byte off", [](Bytes& b) { b[3] = 'G'; }, "\n" + n + " is not a valid .las file\n\n"},
        {"signature and version wrong", [](Bytes& b) { b[0] = 0; b[24] = 2; },
         "\n" + n + " is not a valid .las file\n\n"},
        {"version 2.0", [](Bytes& b) { b[24] = 2; b[25] = 0; }, "\nCannot handle las files of version 2.x\n"},
        {"version 0.9", [](Bytes& b) { b[24] = 0; b[25] = 9; }, "\nCannot handle las files of version 0.x\n"},
        {"version 1.3", [](Bytes& b) { b[25] = 3; }, "\nCannot handle las files of version 1.3\n"},
        {"version 1.3 and format 9", [](Bytes& b) { b[25] = 3; b[104] = 9; },
         "\nCannot handle las files of version 1.3\n"},
        {"minor version 10", [](Bytes& b) { b[25] = 10; }, "\nCannot handle las files of version 1.:\n"},
        {"format 4", [](Bytes& b) { b[104] = 4; },
         "\nPointDataFormatID in " + n + " is 4. Only 0, 1, 2, or 3 is accepted\n"},
        {"format 208", [](Bytes& b) { b[104] = 208; },
         "\nPointDataFormatID in " + n + " is " + std::string(1, '\0') + ". Only 0, 1, 2, or 3 is accepted\n"},
        {"format 255", [](Bytes& b) { b[104] = 255; },
         "\nPointDataFormatID in " + n + " is /. Only 0, 1, 2, or 3 is accepted\n"},
        {"format 3 with 36-byte records", [](Bytes& b) { b[104] = 3; put_u16(b, 105, 36); },
         "\nData format of " + n + " (3) is incompatible with Length of Data Record (36)\n"},
        {"format 0 with 28-byte records", [](Bytes& b) { b[104] = 0; put_u16(b, 105, 28); },
         "\nData format of " + n + " (0) is incompatible with Length of Data Record (28)\n"},
        {"record length above 32767", [](Bytes& b) { put_u16(b, 105, 65535); },
         "\nData format of " + n + " (1) is incompatible with Length of Data Record (65535)\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes b = build_las(LasRecipe{});
        row.change(b);
        Printed p = check_bytes(b);
        EXPECT_EQ(p.result, -1);
        EXPECT_EQ(p.out, row.message);
    }
}

TEST_F(CheckLas, ShortFileIsNeverClassifiedFromBytesNotRead) {
    const Bytes full = build_las(LasRecipe{});  // 1.2, format 1
    const std::string too_short = "\n" + path + " is too short or unreadable to be a valid .las file\n\n";
    for (std::size_t size : {0, 3, 4, 24, 25, 26, 104, 105, 106}) {
        SCOPED_TRACE(size);
        Bytes b = full;
        b.resize(size);
        Printed p = check_bytes(b);
        EXPECT_EQ(p.result, -1);
        EXPECT_EQ(p.out, too_short);
    }
    Bytes b = full;
    b.resize(107);
    Printed p = check_bytes(b);
    EXPECT_EQ(p.result, 6);
    EXPECT_EQ(p.out, "");

    // A field that was read is still judged before the missing ones.
    b = full;
    b[25] = 3;
    b.resize(30);
    EXPECT_EQ(check_bytes(b).out, "\nCannot handle las files of version 1.3\n");
    b = full;
    b[1] = 'a';
    b.resize(4);
    EXPECT_EQ(check_bytes(b).out, "\n" + path + " is not a valid .las file\n\n");
}

TEST_F(CheckLas, FileCutRightAfterABadFieldGetsThatFieldsMessage) {
    struct Row {
        std::size_t at;
        unsigned char bad;
        std::string message;
    };
    const Row rows[] = {
        {24, 2, "\nCannot handle las files of version 2.x\n"},
        {25, 3, "\nCannot handle las files of version 1.3\n"},
        {104, 4, "\nPointDataFormatID in " + path + " is 4. Only 0, 1, 2, or 3 is accepted\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("file of " + std::to_string(row.at + 1) + " bytes");
        Bytes b = build_las(LasRecipe{});
        b[row.at] = row.bad;
        b.resize(row.at + 1);
        Printed p = check_bytes(b);
        EXPECT_EQ(p.result, -1);
        EXPECT_EQ(p.out, row.message);
    }
}

TEST_F(CheckLas, NameIsCheckedBeforeTheContents) {
    const std::string missing = dir.file("missing.las");
    Printed p = check(missing);
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.out, "Unable to open file " + missing + " in file_access()\n\nFile " + missing +
                         " does NOT exist\n");

    const std::string upper = dir.file("t.LAS");
    write_file(upper, build_las(LasRecipe{}));
    p = check(upper);
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.out, "\nFile extension of " + upper + " is not .las\n");

    const std::string folder = dir.file("x.las");
    std::filesystem::create_directory(folder);
    p = check(folder);
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.out, "\n" + folder + " is too short or unreadable to be a valid .las file\n\n");
}

TEST(FileAccess, ReadableFilePassesSilently) {
    TempDir d;
    const std::string f = d.file("plain.txt");
    write_file(f, Bytes{'x'});
    Printed p = capture_closed([&] { return file_access(f.c_str()); });
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.out, "");

    const std::string missing = d.file("gone");
    p = capture_closed([&] { return file_access(missing.c_str()); });
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.out, "Unable to open file " + missing + " in file_access()\n");
}

TEST(CheckFileExtension, OnlyTheLastFourBytesCount) {
    const std::string too_short = "\nFile name (%) is too short\n";
    const std::string no_dot = "\nExtension of file % should be preceeded by a dot (.)\n";
    const std::string wrong = "\nFile extension of % is not .las\n";
    struct Row {
        std::string name, message;  // % stands for the name; empty message: accepted
    };
    const Row rows[] = {
        {"a.las", ""},
        {"dir.v1/sub.d/name.las", ""},
        {"", too_short},
        {".las", too_short},
        {"abcd", too_short},
        {"ab.la", no_dot},
        {"x.lasx", no_dot},
        {"a.LAS", wrong},
        {"a.laz", wrong},
        {"data.las.bak", wrong},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Printed p = capture_closed([&] { return check_file_extension(row.name.c_str(), "las"); });
        std::string message = row.message;
        if (std::size_t at = message.find('%'); at != std::string::npos) message.replace(at, 1, row.name);
        EXPECT_EQ(p.result, message.empty() ? 0 : -1);
        EXPECT_EQ(p.out, message);
    }

    // An extension given with its dot can never match.
    Printed p = capture_closed([] { return check_file_extension("a.las", ".las"); });
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.out, "\nFile extension of a.las is not ..las\n");
}

TEST(ErrorMsg, ThreeCodesHaveMessages) {
    auto say = [](int code) {
        return capture_closed([code] {
                   error_msg(code, "f.las");
                   return 0;
               }).out;
    };
    EXPECT_EQ(say(1), "\nFile f.las does NOT exist\n");
    EXPECT_EQ(say(2), "\nFile f.las already exists\n");
    EXPECT_EQ(say(3), "\nSame file name (f.las) has been specified twice\n");
    for (int code : {0, 4, -1}) EXPECT_EQ(say(code), "") << code;
}

}  // namespace
