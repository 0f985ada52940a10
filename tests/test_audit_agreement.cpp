// Vexholt-audit and Vexholt agree on every file: Vexholt refuses a file
// exactly when the audit refuses it too or says, with Vexholt's own words,
// that Vexholt would; on every file Vexholt updates, --fix leaves the bytes
// Vexholt leaves; and after either, the audit finds the header current.
#include "expect.h"
#include "audit_json.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

using namespace lastest;
namespace fs = std::filesystem;

namespace {

std::string trimmed(std::string s) {
    s.erase(0, s.find_first_not_of("\r\n"));
    s.erase(s.find_last_not_of("\r\n") + 1);
    return s;
}

nlohmann::json judged(const std::string& path, std::vector<std::string> extra = {}) {
    extra.push_back(path);
    return audit_json(extra);
}

void expect_agreement(const std::string& dir, const std::string& name, const Bytes& bytes) {
    SCOPED_TRACE(name);
    const std::string by_audit = dir + "/audit-" + name, by_vexholt = dir + "/vexholt-" + name;
    for (const std::string& p : {by_audit, by_vexholt}) write_file(p, bytes);

    nlohmann::json before = judged(by_audit);
    RunResult v = run(vexholt_path(), {by_vexholt});
    const std::string status = before["status"];
    const std::string reason = before["reason"].is_string() ? before["reason"].get<std::string>() : "";
    const std::string kNote = "Vexholt would refuse it: ";
    // Last in the reason: a short file's counts come first.
    const std::size_t note = reason.find(kNote);
    const bool noted = note != std::string::npos;
    const bool refused = status == "refused" || status == "error";
    ASSERT_EQ(refused || noted, v.status != 0) << status << " / " << reason << " / " << v.out;
    EXPECT_EQ(read_file(by_audit), bytes);
    if (v.status != 0) {
        if (noted) {
            // Vexholt names its own copy.
            std::string said = trimmed(v.out.substr(banner().size()));
            for (std::size_t k; (k = said.find(by_vexholt)) != std::string::npos;)
                said.replace(k, by_vexholt.size(), by_audit);
            EXPECT_EQ(reason.substr(note + kNote.size()), said);
        }
        return;
    }
    // Vexholt lowers the count of a file cut short; the audit only when told
    // the lost points are accepted.
    const std::string exact = judged(by_audit, {"--exact"})["status"];
    EXPECT_EQ(judged(by_audit, {"--fix", "--exact", "--accept-lost-points"})["status"],
              exact == "stale" || exact == "short" ? "fixed" : "current");
    EXPECT_EQ(read_file(by_audit), read_file(by_vexholt));
    for (const std::string& p : {by_audit, by_vexholt})
        for (const std::vector<std::string>& mode : {std::vector<std::string>{}, {"--exact"}})
            EXPECT_EQ(judged(p, mode)["status"], "current") << p;
}

TEST(AuditAgreement, EveryFileOfTheRealCorpus) {
    TempDir d;
    int files = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(LASDATA_DIR)) {
        if (e.path().extension() != ".las") continue;
        expect_agreement(d.path, e.path().filename().string(), read_file(e.path().string()));
        ++files;
    }
    EXPECT_GE(files, 25);
}

TEST(AuditAgreement, GeneratedFilesValidAndNot) {
    auto with = [](auto change) {
        LasRecipe s;
        s.points = {{5, -7, 9, 1}, {-3, 2, 20000000, 2}, {0, 0, 0, 0}, {1, 1, 1, 7}};
        change(s);
        return build_las(s);
    };
    const Bytes valid = with([](LasRecipe&) {});
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const Case cases[] = {
        {"stale.las", with([](LasRecipe&) {})},
        {"v10f0.las", with([](LasRecipe& s) { s.minor = 0; s.format = 0; s.gap = 2; })},
        {"v11f2.las", with([](LasRecipe& s) { s.minor = 1; s.format = 2; })},
        {"f3.las", with([](LasRecipe& s) { s.format = 3; s.trailing = 5; })},
        {"negscale.las", with([](LasRecipe& s) { s.scale[0] = -0.5; s.offset[2] = 1e6; })},
        {"empty.las", with([](LasRecipe& s) { s.points.clear(); })},
        {"far.las", with([](LasRecipe& s) { s.offset_to_data = 100000; })},
        {"inside.las", with([](LasRecipe& s) { s.offset_to_data = 100; })},
        {"reclen.las", with([](LasRecipe& s) { s.record_length = 30; })},
        {"v20.las", with([](LasRecipe& s) { s.major = 2; })},
        {"f5.las", with([](LasRecipe& s) { s.format = 5; })},
        {"short.las", Bytes(valid.begin(), valid.begin() + 150)},
        {"tiny.las", Bytes{'L', 'A', 'S', 'F'}},
        {"nolasf.las", Bytes(300, 0)},
        {"name.LAS", with([](LasRecipe&) {})},
        {"name.txt", with([](LasRecipe&) {})},
    };
    TempDir d;
    for (const Case& c : cases) expect_agreement(d.path, c.name, c.bytes);
}

}  // namespace
