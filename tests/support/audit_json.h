// Vexholt-audit as tests read it: the first file's line of a JSON Lines
// report (the delivery's summary comes last).
#pragma once

#include "run.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace lastest {

inline nlohmann::json audit_json(const std::vector<std::string>& args, const std::string& cwd = "") {
    std::vector<std::string> a = {"-q", "--format", "jsonl"};
    a.insert(a.end(), args.begin(), args.end());
    const std::string out = run(audit_path(), a, cwd).out;
    return nlohmann::json::parse(out.substr(0, out.find('\n')));
}

}  // namespace lastest
