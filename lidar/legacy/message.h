// Messages are built as text first, so that the routines that print them and
// the cores that hand them to a caller (tests, the engine) say the same bytes.
#pragma once

#include <string>

namespace lidar {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string message(const char* format, ...);

// Prints text exactly as it is: a file name may hold '%'.
void print(const std::string& text);

}  // namespace lidar
