#include "profile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

namespace lidar {

namespace {

using Json = nlohmann::ordered_json;

// A value of the file as JSON shows it, so that no text of it can break
// the message's one line.
std::string shown(const Json& v) { return v.dump(-1, ' ', true, Json::error_handler_t::replace); }

bool fail(std::string& why, std::string what) {
    why = std::move(what);
    return false;
}

bool read_classes(const Json& list, ClassTable& t, std::string& why) {
    if (!list.is_array() || list.empty()) return fail(why, "\"classes\" is a list of {\"code\", \"name\"} objects, not empty");
    for (const Json& c : list) {
        if (!c.is_object()) return fail(why, "each of \"classes\" is an object, not " + shown(c));
        for (const auto& [key, value] : c.items())
            if (key != "code" && key != "name") return fail(why, "a class has no key " + shown(Json(key)));
        const auto code = c.find("code");
        if (code == c.end() || !code->is_number_integer() || code->get<long long>() < 0 || code->get<long long>() > 255)
            return fail(why, "each class has a \"code\" from 0 to 255, not " + shown(code == c.end() ? Json() : *code));
        const unsigned n = code->get<unsigned>();
        const auto name = c.find("name");
        if (name == c.end() || !name->is_string()) return fail(why, "class " + std::to_string(n) + " has no \"name\" text");
        if (t.allowed[n]) return fail(why, "class " + std::to_string(n) + " is listed twice");
        t.allowed.set(n);
        t.names.emplace_back(n, name->get<std::string>());
    }
    std::sort(t.names.begin(), t.names.end());
    return true;
}

bool read_severities(const Json& rules, ProfileFile& out, std::string& why) {
    if (!rules.is_object()) return fail(why, "\"rules\" is an object of rule ids and severities");
    for (const auto& [id, value] : rules.items()) {
        const Rule* r = find_rule(id);
        if (!r) return fail(why, "no rule " + shown(Json(id)) + " (Vexholt-audit --list-rules lists them)");
        const std::string s = value.is_string() ? value.get<std::string>() : "";
        if (s != "error" && s != "warning" && s != "off")
            return fail(why, "the severity of " + id + " is error, warning or off, not " + shown(value));
        out.severities.emplace_back(r, s == "error" ? Severity::error : s == "warning" ? Severity::warning : Severity::off);
    }
    return true;
}

}  // namespace

bool parse_profile(std::string_view text, ProfileFile& out, std::string& why) {
    out = ProfileFile{};
    Json j;
    try {
        j = Json::parse(text);
    } catch (const Json::parse_error& e) {
        // What follows the library's own prefix: "parse error at line 3, ...".
        std::string what = e.what();
        const std::size_t at = what.find("] ");
        return fail(why, "not JSON: " + (at == std::string::npos ? what : what.substr(at + 2)));
    }
    if (!j.is_object()) return fail(why, "a profile file is a JSON object");
    static const std::set<std::string> kKeys = {"$schema", "name", "base", "quality_level", "classes", "rules"};
    for (const auto& [key, value] : j.items())
        if (!kKeys.count(key)) return fail(why, "no key " + shown(Json(key)) + " in a profile file");
    if (const auto name = j.find("name"); name != j.end()) {
        if (!name->is_string()) return fail(why, "\"name\" is a text");
        out.name = name->get<std::string>();
    }
    const auto base = j.find("base");
    if (base == j.end() || (*base != "las" && *base != "usgs-lbs"))
        return fail(why, "\"base\" is las or usgs-lbs, not " + shown(base == j.end() ? Json() : *base));
    out.base = *base == "las" ? Profile::las : Profile::usgs_lbs;
    if (const auto q = j.find("quality_level"); q != j.end()) {
        for (QualityLevel l : {QualityLevel::ql0, QualityLevel::ql1, QualityLevel::ql2, QualityLevel::ql3})
            if (*q == quality_level_name(l)) out.quality_level = l;
        if (out.quality_level == QualityLevel::none)
            return fail(why, "\"quality_level\" is QL0, QL1, QL2 or QL3, not " + shown(*q));
    }
    if (const auto c = j.find("classes"); c != j.end()) {
        auto table = std::make_shared<ClassTable>();
        if (!read_classes(*c, *table, why)) return false;
        out.classes = std::move(table);
    }
    if (const auto r = j.find("rules"); r != j.end() && !read_severities(*r, out, why)) return false;
    return true;
}

bool read_profile_file(const std::string& path, ProfileFile& out, std::string& why) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return fail(why, std::strerror(errno));
    // A profile is a page of text: anything larger is the wrong file.
    constexpr std::size_t kMost = 1 << 20;
    std::string text(kMost + 1, '\0');
    const std::size_t n = std::fread(text.data(), 1, text.size(), f);
    const bool failed = std::ferror(f);
    const int error = errno;
    std::fclose(f);
    if (failed) return fail(why, std::strerror(error));
    if (n > kMost) return fail(why, "larger than 1 MiB: not a profile file");
    text.resize(n);
    return parse_profile(text, out, why);
}

std::string profile_listing(const ProfileFile& p, bool roff) {
    std::string t;
    auto line = [&](const std::string& s) { t += roff ? s + "\n.br\n" : s + "\n\n"; };
    t += roff ? ".PP\n" : "\n";
    line("Profile " + (p.name.empty() ? std::string() : "\"" + p.name + "\" ") + "on " +
         (p.base == Profile::las ? "las" : "usgs-lbs") + ", quality level " +
         (p.quality_level == QualityLevel::none ? std::string("as the command line or the base profile sets it")
                                                : quality_level_name(p.quality_level)));
    for (const auto& [r, s] : p.severities)
        line(std::string(r->id) + ": " + severity_name(s) + " (listed: " + severity_name(listed_severity(*r)) + ")");
    if (!p.classes) {
        line("Class table: the base profile's");
        return t;
    }
    t += roff ? ".TS\nallbox;\nl l.\nClass\tName\n" : "| Class | Name |\n|---|---|\n";
    for (const auto& [code, name] : p.classes->names)
        t += roff ? std::to_string(code) + "\tT{\n" + name + "\nT}\n" : "| " + std::to_string(code) + " | " + name + " |\n";
    return t + (roff ? ".TE\n" : "");
}

}  // namespace lidar
