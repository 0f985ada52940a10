// One count truly past 32 bits, 86 GB of holes scanned for two minutes: what
// a lowered limit (test_large_files.cpp) cannot show is that the count is
// kept in 64 bits all the way from the scan to the header. Labelled slow:
// tests/run alone runs it.
#include "tile_scan.h"
#include "las_file.h"
#include "las_header.h"
#include "update.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#endif

using namespace lastest;

namespace {

// Holes in a memory-backed file system read back as the shared zero page,
// some twenty times faster than from a disk file system here.
std::string sparse_base() {
    return access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "";
}

// Extends a file with a hole. The Windows C runtime extends by writing
// zeros, which tens of gigabytes do not fit; the file system API does not.
void grow_sparse(const std::string& path, std::uint64_t size) {
#ifdef _WIN32
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
    DWORD unused;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    const bool grown = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    CloseHandle(h);
    ASSERT_TRUE(grown) << path;
#else
    std::filesystem::resize_file(path, size);
#endif
}

TEST(LargeFiles, LasOnePointFourCountsPastThirtyTwoBits) {
    const std::string base = sparse_base();
    if (base.empty()) GTEST_SKIP() << "no memory-backed file system for 86 GB of holes";
    TempDir d(base);
    const std::string f = d.file("huge.las");
    const std::uint64_t records = std::uint64_t{UINT32_MAX} + 2;
    LasRecipe s;
    s.minor = 4;
    s.format = 0;
    s.header_size = 375;
    write_file(f, build_las(s));
    grow_sparse(f, s.header_size + records * 20);
    const audit::TileTarget t = audit::named_tile(f.c_str());
    std::string why;
    audit::TileScan scan;
    ASSERT_EQ(audit::update_tile(t, why, &scan), lidar::kDone) << why;
    // The file is 86 GB: its header alone.
    std::ifstream in(f, std::ios::binary);
    Bytes h(375);
    in.read(reinterpret_cast<char*>(h.data()), 375);
    const lidar::LasHeader m = lidar::parse_header(h.data(), h.size());
    EXPECT_EQ(m.count, records);
    EXPECT_EQ(m.by_return[0], 0u);  // every hole is return number 0
    EXPECT_EQ(m.legacy_count, 0u);  // does not fit: 0, as LAS 1.4 asks
}

}  // namespace
