// The argument checks that end the process, as routines that report
// instead, for tests and for callers that must carry on.
#pragma once

namespace lidar {

// Print the same messages as check_numeric_argument and check_DEM; return 0
// where those return, -1 where they would end the process.
int check_numeric_argument_core(const char* str);
int check_DEM_core(const char* str);

}  // namespace lidar
