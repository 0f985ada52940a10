// The delivery check's rules: on every real test file, the rules an
// independent reader of the bytes says fire; on generated variants of a
// clean file, each rule fires where its fault is put and not before.
#include "audit.h"
#include "las_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

namespace {

using lastest::Bytes;

std::set<std::string> fired(const std::string& path, lidar::Profile profile = lidar::Profile::las,
                            bool headers_only = false) {
    audit::Judging how;
    how.profile = profile;
    how.headers_only = headers_only;
    how.now_gps = audit::gps_now();
    const audit::Result r = audit::judge(audit::collect({path}).at(0), how);
    std::set<std::string> ids;
    for (const lidar::Finding& f : r.findings) ids.insert(f.rule->id);
    return ids;
}

std::string joined(const std::set<std::string>& s) {
    std::string t;
    for (const std::string& x : s) t += (t.empty() ? "" : ",") + x;
    return t.empty() ? "-" : t;
}

TEST(Rules, RealFilesFireWhatTheirBytesShow) {
    std::ifstream table(std::string(LASDATA_DIR) + "/../expected_rules.tsv");
    ASSERT_TRUE(table) << "expected_rules.tsv";
    std::string line;
    int files = 0;
    while (std::getline(table, line)) {
        if (line.empty() || line[0] == '#' || line.starts_with("file\t")) continue;
        const std::size_t tab = line.find('\t');
        const std::string name = line.substr(0, tab), want = line.substr(tab + 1);
        std::set<std::string> got = fired(std::string(LASDATA_DIR) + "/../" + name);
        got.erase("crs.unidentified");  // depends on PROJ's database, not on the bytes
        EXPECT_EQ(joined(got), want) << name;
        ++files;
    }
    EXPECT_GE(files, 78);
}

// A byte-level change to a clean real file that puts one fault in it.
struct Variant {
    const char* rule;
    const char* base;  // under tests/data
    std::function<void(Bytes&)> fault;
    lidar::Profile profile = lidar::Profile::las;
};

void u16(Bytes& b, std::size_t at, std::uint16_t v) { lastest::put_u16(b, at, v); }
void u64(Bytes& b, std::size_t at, std::uint64_t v) {
    for (int k = 0; k < 8; ++k) b[at + k] = static_cast<unsigned char>(v >> 8 * k);
}
void rename_all(Bytes& b, const char* from, const char* to) {
    const std::size_t n = std::strlen(from);
    for (std::size_t i = 0; i + n <= b.size(); ++i)
        if (std::memcmp(&b[i], from, n) == 0) std::memcpy(&b[i], to, n);
}

constexpr const char* k12 = "lasdata/mvk-thin.las";       // 1.2, format 1, GeoTIFF keys, points from 3314
constexpr const char* k14 = "lasdata/test1_4.las";        // 1.4, format 6, WKT, adjusted standard time
constexpr const char* kStd = "lasdata-v14-laz/lazperf-1815.las";  // 1.2, format 1, adjusted standard time
constexpr std::size_t kFirst12 = 3314, kFirst14 = 2305, kFirstStd = 520;

TEST(Rules, EachFiresOnItsFaultAlone) {
    const double nan = std::nan("");
    const Variant cases[] = {
        {"header.signature", k12, [](Bytes& b) { b[0] = 'X'; }},
        {"header.version", k12, [](Bytes& b) { b[25] = 5; }},
        {"header.size", k12, [](Bytes& b) { u16(b, 94, 200); }},
        {"header.size-extended", k12, [](Bytes& b) { u16(b, 94, 229); }},
        {"header.offset-to-data", k12, [](Bytes& b) { lastest::put_u32(b, 96, 100); }},
        {"vlr.count", k12, [](Bytes& b) {  // empty VLRs fill the gap before the points, then one more is due
             std::fill(b.begin() + 906, b.begin() + kFirst12, 0);
             lastest::put_u32(b, 100, 60);
         }},
        {"vlr.length", k12, [](Bytes& b) { u16(b, 751 + 20, 60000); }},
        {"evlr.bounds", k14, [](Bytes& b) { u64(b, 235, b.size() - 10); lastest::put_u32(b, 243, 1); }},
        {"header.point-format", k12, [](Bytes& b) { b[104] = 5; }},
        {"header.record-length", k12, [](Bytes& b) { u16(b, 105, 20); }},
        {"header.extra-bytes", k12, [](Bytes& b) { u16(b, 105, 30); }},
        {"points.trailing-bytes", k12, [](Bytes& b) { b.resize(b.size() + 5); }},
        {"header.point-count", k12, [](Bytes& b) { lastest::put_u32(b, 107, lastest::get_u32(b, 107) + 1); }},
        {"header.by-return-sum", k12, [](Bytes& b) { lastest::put_u32(b, 111, 0xffffffffu); }},
        {"header.scale", k12, [](Bytes& b) { lastest::put_f64(b, 131, 0); }},
        {"header.scale-unusual", k12, [](Bytes& b) { lastest::put_f64(b, 131, 0.003); }},
        {"header.offset", k12, [nan](Bytes& b) { lastest::put_f64(b, 155, nan); }},
        {"encoding.reserved", k12, [](Bytes& b) { u16(b, 6, 0x100); }},
        {"encoding.waveform-bits", k14, [](Bytes& b) { b[6] |= 6; }},
        {"encoding.wkt-bit", k14, [](Bytes& b) { b[6] &= ~0x10; }},
        {"header.creation-date", k12, [](Bytes& b) { u16(b, 90, 400); }},
        {"header.creation-date-missing", k12, [](Bytes& b) { u16(b, 90, 0); u16(b, 92, 0); }},
        {"header.text-padding", k12, [](Bytes& b) { b[26 + 20] = 0; b[26 + 31] = 'x'; }},
        {"header.text-padding", k12, [](Bytes& b) {  // spaces in place of NULs
             for (std::size_t k = 26; k < 58; ++k)
                 if (b[k] == 0) b[k] = ' ';
         }},
        {"header.extra-bytes-undescribed", k14, [](Bytes& b) { u16(b, 105, 32); }},
        {"file.name-content", k12, [](Bytes& b) { b[104] |= 0x80; }},
        {"points.outside-box", k12, [](Bytes& b) {  // MaxX four tenths of a step short
             lastest::put_f64(b, 179, lastest::get_f64(b, 179) - 0.4 * lastest::get_f64(b, 131));
         }},
        {"crs.missing", k12, [](Bytes& b) { rename_all(b, "LASF_Projection", "LASF_Projectiom"); }},
        {"crs.wkt-required", k14, [](Bytes& b) { rename_all(b, "LASF_Projection", "LASF_Projectiom"); }},
        {"crs.invalid", k12, [](Bytes& b) { u16(b, 371 + 54, 2); }},
        {"points.none", k12, [](Bytes& b) { b.resize(kFirst12); }},
        {"points.return-number", k12, [](Bytes& b) { b[kFirst12 + 14] = 0x08; }},
        {"points.number-of-returns", k12, [](Bytes& b) { b[kFirst12 + 14] = 0x01; }},
        {"points.gps-time-invalid", k12, [nan](Bytes& b) { lastest::put_f64(b, kFirst12 + 20, nan); }},
        {"points.gps-week-time", k12, [](Bytes& b) { lastest::put_f64(b, kFirst12 + 20, 1e6); }},
        {"points.gps-standard-time", kStd, [](Bytes& b) { lastest::put_f64(b, kFirstStd + 20, 2e9); }},
        {"stats.point-count", k12, [](Bytes& b) { lastest::put_u32(b, 107, lastest::get_u32(b, 107) - 1); }},
        {"stats.by-return", k12, [](Bytes& b) { lastest::put_u32(b, 111, lastest::get_u32(b, 111) - 1); }},
        {"stats.extent", k12, [](Bytes& b) { lastest::put_f64(b, 179, lastest::get_f64(b, 179) + 100); }},
        {"usgs.version", k14, [](Bytes& b) { b[25] = 3; }, lidar::Profile::usgs_lbs},
        {"usgs.point-format", k14, [](Bytes& b) { b[104] = 1; }, lidar::Profile::usgs_lbs},
        {"usgs.crs-wkt", k14, [](Bytes& b) { rename_all(b, "LASF_Projection", "LASF_Projectiom"); }, lidar::Profile::usgs_lbs},
        {"usgs.gps-standard-time", k14, [](Bytes& b) { b[6] &= ~1; }, lidar::Profile::usgs_lbs},
        {"points.return-number", k14, [](Bytes& b) { b[kFirst14 + 14] = 0x12; }},
    };
    lastest::TempDir d;
    for (const Variant& c : cases) {
        SCOPED_TRACE(c.rule);
        Bytes b = lastest::read_file(std::string(LASDATA_DIR) + "/../" + c.base);
        lastest::write_file(d.file("clean.las"), b);
        EXPECT_EQ(fired(d.file("clean.las"), c.profile).count(c.rule), 0u);
        c.fault(b);
        lastest::write_file(d.file("faulty.las"), b);
        EXPECT_EQ(fired(d.file("faulty.las"), c.profile).count(c.rule), 1u);
    }
}

TEST(Rules, UnidentifiedSystemNeedsProj) {
    if (!lidar::crs_uses_proj()) GTEST_SKIP() << "built without PROJ";
    lastest::TempDir d;
    Bytes b = lastest::read_file(std::string(LASDATA_DIR) + "/mvk-thin.las");
    lastest::write_file(d.file("clean.las"), b);
    EXPECT_EQ(fired(d.file("clean.las")).count("crs.unidentified"), 0u);
    u16(b, 527, 32767);  // ProjectedCSTypeGeoKey: user-defined
    u16(b, 447, 32767);  // GeographicTypeGeoKey: likewise
    lastest::write_file(d.file("faulty.las"), b);
    EXPECT_EQ(fired(d.file("faulty.las")).count("crs.unidentified"), 1u);
}

// A fixed file no longer fails what the fix put right; the rest stays.
TEST(Rules, FixingLeavesOnlyWhatTheFixCannotMend) {
    lastest::TempDir d;
    lastest::write_file(d.file("t.las"), lastest::read_file(std::string(LASDATA_DIR) + "/1.2-with-color-clipped.las"));
    audit::Judging how;
    how.fix = true;
    how.accept_lost_points = true;  // the file has lost its last record
    const audit::Result r = audit::judge(audit::collect({d.file("t.las")}).at(0), how);
    ASSERT_EQ(r.status, audit::Status::fixed) << r.reason;
    std::set<std::string> ids;
    for (const lidar::Finding& f : r.findings) ids.insert(f.rule->id);
    EXPECT_EQ(joined(ids), "crs.missing,header.creation-date-missing");
    EXPECT_EQ(joined(fired(d.file("t.las"))), "crs.missing,header.creation-date-missing");
}

// Only the point rules and the statistics need the points: a header-only
// pass finds everything else, and never calls a stale file current.
TEST(Rules, HeadersOnlyFindsAllButThePointRules) {
    std::ifstream table(std::string(LASDATA_DIR) + "/../expected_rules.tsv");
    std::string line;
    while (std::getline(table, line)) {
        if (line.empty() || line[0] == '#' || line.starts_with("file\t")) continue;
        const std::string name = line.substr(0, line.find('\t'));
        const std::string path = std::string(LASDATA_DIR) + "/../" + name;
        std::set<std::string> full = fired(path), quick = fired(path, lidar::Profile::las, true);
        std::erase_if(full, [](const std::string& id) { return id.starts_with("points.") && id != "points.trailing-bytes"; });
        std::erase_if(full, [](const std::string& id) { return id.starts_with("stats."); });
        EXPECT_EQ(joined(quick), joined(full)) << name;
    }
}

TEST(Rules, DeliveryNamesTheFilesThatDiffer) {
    audit::Delivery d;
    auto add = [&](const char* path, unsigned minor, double scale, int system) {
        audit::Result r;
        r.path = path;
        r.status = audit::Status::current;
        r.header_read = true;
        r.stored.major = 1;
        r.stored.minor = minor;
        r.stored.point_format = 1;
        r.stored.record_length = 28;
        for (double& s : r.stored.scale) s = scale;
        r.crs.present = system >= 0;
        r.crs.system = system;
        r.crs.horizontal = "EPSG:" + std::to_string(26910 + system);
        audit::add_to(d, r);
    };
    add("a.las", 2, 0.01, 0);
    add("b.las", 2, 0.01, 0);
    add("c.las", 4, 0.01, 1);
    add("d.las", 2, 0.001, 0);
    add("e.las", 2, 0.01, -1);  // no system: not a difference, crs.missing says so
    add("f.las", 2, 0.01, -1);
    add("g.las", 2, 0.01, -1);
    std::map<std::string, std::vector<std::string>> got;
    const std::vector<audit::DeliveryFinding> found = audit::consistency(d);
    for (const audit::DeliveryFinding& f : found) got[f.finding.rule->id] = f.files;
    // A build without PROJ says its systems are the codes as stated.
    EXPECT_EQ(audit::summary_text(d, found).find("identification needs PROJ") != std::string::npos,
              !lidar::crs_uses_proj());
    using V = std::vector<std::string>;
    EXPECT_EQ(got, (std::map<std::string, V>{{"delivery.version", V{"c.las"}},
                                             {"delivery.scale", V{"d.las"}},
                                             {"delivery.crs", V{"c.las"}}}));
    // Counted into the right value as it changes, and back to one met before.
    using N = std::map<std::string, std::size_t>;
    EXPECT_EQ(d.versions, (N{{"1.2", 6}, {"1.4", 1}}));
    EXPECT_EQ(d.systems, (N{{"EPSG:26910", 3}, {"EPSG:26911", 1}, {"none", 3}}));
}

// The manual page and the rules guide (doc/rules.md) show the rules table
// the code prints.
TEST(Rules, DocumentedTablesAreTheList) {
    auto slurp = [](const std::string& p) {
        std::ifstream f(p);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    };
    const std::string root = std::string(LASDATA_DIR) + "/../../../";
    EXPECT_NE(slurp(root + "doc/rules.md").find(audit::rules_table(false)), std::string::npos)
        << "doc/rules.md: regenerate with Vexholt-audit --list-rules";
    EXPECT_NE(slurp(root + "tool/Vexholt-audit.1").find(audit::rules_table(true)), std::string::npos)
        << "Vexholt-audit.1: regenerate with Vexholt-audit --list-rules=roff";
}

}  // namespace

namespace {

// Whatever a header claims, the walk reads only inside the file and keeps
// only records that lie inside it.
TEST(Rules, VlrWalkStaysInsideTheFile) {
    std::uint64_t seed = 0x9e3779b97f4a7c15u;
    auto next = [&] { return seed = seed * 6364136223846793005u + 1442695040888963407u, seed >> 33; };
    struct Source {
        const Bytes* b;
        int outside = 0;
    };
    auto read_at = [](Source& s, std::uint64_t offset, void* out, std::size_t n) -> std::int64_t {
        if (offset > s.b->size() || n > s.b->size() - offset) {
            ++s.outside;
            return -1;
        }
        std::memcpy(out, s.b->data() + offset, n);
        return static_cast<std::int64_t>(n);
    };
    for (int round = 0; round < 3000; ++round) {
        Bytes b(375 + next() % 3000);
        for (unsigned char& x : b) x = static_cast<unsigned char>(next() % 4 == 0 ? next() : 0);
        std::memcpy(b.data(), "LASF", 4);
        b[24] = 1;
        b[25] = static_cast<unsigned char>(next() % 5);
        u16(b, 94, static_cast<std::uint16_t>(lidar::header_size_of(b[25]) + next() % 3));
        lastest::put_u32(b, 96, static_cast<std::uint32_t>(next() % (b.size() + 200)));
        lastest::put_u32(b, 100, static_cast<std::uint32_t>(next() % 8 == 0 ? next() : next() % 40));
        u64(b, 235, next() % (b.size() + 100));
        lastest::put_u32(b, 243, static_cast<std::uint32_t>(next() % 5));
        const lidar::LasHeader h = lidar::parse_header(b.data(), 375);
        Source s{&b};
        const lidar::VlrSet v = lidar::read_vlrs(h, b.data(), 100 + next() % 276, b.size(),
                                                   [&](std::uint64_t at, void* out, std::size_t n) { return read_at(s, at, out, n); });
        ASSERT_EQ(s.outside, 0) << "round " << round;
        for (const lidar::Vlr& r : v.vlrs) ASSERT_LE(r.payload_offset + r.length, b.size()) << "round " << round;
    }
}

}  // namespace
