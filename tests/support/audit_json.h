// Vexholt-audit as tests read it: the first file's line of a JSON Lines
// report (the delivery's summary comes last), or every file's by its path.
#pragma once

#include "run.h"

#include <nlohmann/json.hpp>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace lastest {

inline nlohmann::json audit_json(const std::vector<std::string>& args, const std::string& cwd = "") {
    std::vector<std::string> a = {"-q", "--format", "jsonl"};
    a.insert(a.end(), args.begin(), args.end());
    const std::string out = run(audit_path(), a, cwd).out;
    return nlohmann::json::parse(out.substr(0, out.find('\n')));
}

// One audit of many files: under a sanitizer or Wine each process costs
// a few tenths of a second.
inline std::map<std::string, nlohmann::json> audit_lines(const std::vector<std::string>& args) {
    std::vector<std::string> a = {"-q", "--format", "jsonl"};
    a.insert(a.end(), args.begin(), args.end());
    std::map<std::string, nlohmann::json> by;
    std::istringstream in(run(audit_path(), a).out);
    for (std::string line; std::getline(in, line);) {
        nlohmann::json j = nlohmann::json::parse(line);
        if (j.contains("path")) by[j["path"].get<std::string>()] = j;
    }
    return by;
}

}  // namespace lastest
