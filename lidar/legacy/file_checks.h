// The file checks as routines that hand back their messages: the exported
// checks print what these say, and validation reuses them without printing.
#pragma once

#include <string>

namespace lidar {

// What file_access says of a file it cannot open.
std::string access_failure_text(const char* filename);
// file_access: 0, or -1 with its message in why.
int file_access_core(const char* filename, std::string& why);
int check_file_extension_core(const char* filename, const char* extension, std::string& why);
// What error_msg prints for code i.
std::string error_text(int i, const char* text);

}  // namespace lidar
