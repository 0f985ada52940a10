// A test seam for the most point records a header before LAS 1.4 (or the
// legacy fields of a 1.4 one) can count: 2^32 - 1, which takes a file of
// 86 GB to pass. Tests lower it on their own thread to reach the same
// refusals and the same zeroed legacy counts with a few records. Internal to
// the module, never exported; the calling thread's alone, as the I/O fault
// plans are (io_fault.h).
#pragma once

#include <cstdint>

namespace lidar {

// UINT32_MAX unless a test lowered it on this thread.
std::uint64_t legacy_count_limit();
// most records at the most from now on, on this thread; 0 restores 2^32 - 1.
void set_legacy_count_limit(std::uint64_t most);

}  // namespace lidar
