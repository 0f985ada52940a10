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

struct Case {
    std::string name;
    Bytes bytes;
};

// Vexholt's answer on its own copy of one case against the audit's first
// judgement of the other; true when Vexholt updated its copy.
bool agrees_before(const nlohmann::json& before, const std::string& by_audit, const std::string& by_vexholt,
                   const Bytes& bytes) {
    RunResult v = run(vexholt_path(), {by_vexholt});
    const std::string status = before["status"];
    const std::string reason = before["reason"].is_string() ? before["reason"].get<std::string>() : "";
    const std::string kNote = "Vexholt would refuse it: ";
    // Last in the reason: a short file's counts come first.
    const std::size_t note = reason.find(kNote);
    const bool noted = note != std::string::npos;
    const bool refused = status == "refused" || status == "error";
    EXPECT_EQ(refused || noted, v.status != 0) << status << " / " << reason << " / " << v.out;
    EXPECT_EQ(read_file(by_audit), bytes);
    const bool updated = v.status == 0 && !refused && !noted;
    if (v.status == 0 || !noted) return updated;
    // Vexholt names its own copy.
    std::string said = trimmed(v.out.substr(banner().size()));
    for (std::size_t k; (k = said.find(by_vexholt)) != std::string::npos;) said.replace(k, by_vexholt.size(), by_audit);
    EXPECT_EQ(reason.substr(note + kNote.size()), said);
    return false;
}

// Every case as two copies, one for each program. The audit judges all its
// copies in one run at each step (a process costs tenths of a second under
// the sanitizers), Vexholt each of its own.
void expect_agreement(const std::vector<Case>& cases) {
    TempDir d;
    auto copy = [&](const char* who, const Case& c) { return d.path + "/" + who + "-" + c.name; };
    std::vector<std::string> all;
    for (const Case& c : cases) {
        for (const char* who : {"audit", "vexholt"}) write_file(copy(who, c), c.bytes);
        all.push_back(copy("audit", c));
    }
    const auto before = audit_lines(all);
    std::vector<const Case*> updated;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string by_audit = copy("audit", c);
        if (!before.count(by_audit)) {
            ADD_FAILURE() << "the audit left it out";
            continue;
        }
        if (agrees_before(before.at(by_audit), by_audit, copy("vexholt", c), c.bytes)) updated.push_back(&c);
    }
    // Vexholt lowers the count of a file cut short; the audit only when told
    // the lost points are accepted.
    ASSERT_FALSE(updated.empty()) << "no case was updated: nothing below would be checked";
    std::vector<std::string> audits, both;
    for (const Case* c : updated) {
        audits.push_back(copy("audit", *c));
        both.insert(both.end(), {copy("audit", *c), copy("vexholt", *c)});
    }
    auto with = [](std::vector<std::string> first, const std::vector<std::string>& paths) {
        first.insert(first.end(), paths.begin(), paths.end());
        return first;
    };
    const auto exact = audit_lines(with({"--exact"}, audits));
    const auto fixed = audit_lines(with({"--fix", "--exact", "--accept-lost-points"}, audits));
    const auto plain_after = audit_lines(both), exact_after = audit_lines(with({"--exact"}, both));
    for (const Case* c : updated) {
        SCOPED_TRACE(c->name);
        const std::string by_audit = copy("audit", *c);
        ASSERT_TRUE(exact.count(by_audit) && fixed.count(by_audit));
        const std::string was = exact.at(by_audit)["status"];
        EXPECT_EQ(fixed.at(by_audit)["status"], was == "stale" || was == "short" ? "fixed" : "current");
        EXPECT_EQ(read_file(by_audit), read_file(copy("vexholt", *c)));
        for (const auto* after : {&plain_after, &exact_after})
            for (const std::string& p : {by_audit, copy("vexholt", *c)}) {
                ASSERT_TRUE(after->count(p)) << p;
                EXPECT_EQ(after->at(p)["status"], "current") << p;
            }
    }
}

TEST(AuditAgreement, EveryFileOfTheRealCorpus) {
    std::vector<Case> cases;
    for (const fs::directory_entry& e : fs::directory_iterator(LASDATA_DIR))
        if (e.path().extension() == ".las")
            cases.push_back({e.path().filename().string(), read_file(e.path().string())});
    EXPECT_GE(cases.size(), 25u);
    expect_agreement(cases);
}

TEST(AuditAgreement, GeneratedFilesValidAndNot) {
    auto with = [](auto change) {
        LasRecipe s;
        s.points = {{5, -7, 9, 1}, {-3, 2, 20000000, 2}, {0, 0, 0, 0}, {1, 1, 1, 7}};
        change(s);
        return build_las(s);
    };
    const Bytes valid = with([](LasRecipe&) {});
    expect_agreement({
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
    });
}

}  // namespace
