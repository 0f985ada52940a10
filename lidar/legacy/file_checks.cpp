#include "file_checks.h"

#include "LiDAR.h"
#include "file_io.h"
#include "message.h"

#include <cstring>

namespace lidar {

std::string access_failure_text(const char* filename) {
    return message("Unable to open file %s in file_access()\n", filename);
}

int file_access_core(const char* filename, std::string& why) {
    if (can_open_for_reading(filename)) return 0;
    why = access_failure_text(filename);
    return -1;
}

int check_file_extension_core(const char* filename, const char* extension, std::string& why) {
    std::size_t n = std::strlen(filename);
    if (n <= 4) why = message("\nFile name (%s) is too short\n", filename);
    else if (filename[n - 4] != '.')
        why = message("\nExtension of file %s should be preceeded by a dot (.)\n", filename);
    else if (std::strcmp(filename + n - 3, extension) != 0)
        why = message("\nFile extension of %s is not .%s\n", filename, extension);
    else return 0;
    return -1;
}

std::string error_text(int i, const char* text) {
    switch (i) {
        case 1: return message("\nFile %s does NOT exist\n", text);
        case 2: return message("\nFile %s already exists\n", text);
        case 3: return message("\nSame file name (%s) has been specified twice\n", text);
        default: return "";
    }
}

}  // namespace lidar

int16_t file_access(const char* filename) {
    std::string why;
    int status = lidar::file_access_core(filename, why);
    lidar::print(why);
    return static_cast<int16_t>(status);
}

int16_t check_file_extension(const char* filename, const char* extension) {
    std::string why;
    int status = lidar::check_file_extension_core(filename, extension, why);
    lidar::print(why);
    return static_cast<int16_t>(status);
}

void error_msg(int i, const char* text) { lidar::print(lidar::error_text(i, text)); }
