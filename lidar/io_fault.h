// A test seam in the file layer: makes one chosen call of one operation fail
// as the system would, so tests can drive every failure path of the real
// code. Internal to the module, never exported. Left alone it costs a counter
// increment and a compare per system call (one per block on the scan).
#pragma once

namespace lidar {

enum class IoOp { open_read, open_update, read, seek, write, sync, close, count_ };

// The nth call (from 1) of op after this one fails with errno error; EINTR
// is retried by the file layer like a real interruption. A failing close
// still releases the descriptor, as close(2) does on Linux. Resets the
// call counts.
void set_io_fault(IoOp op, unsigned long nth, int error);
// No more faults or short transfers; resets the call counts.
void clear_io_faults();
// Calls of op since the last set_io_fault or clear_io_faults.
unsigned long io_calls(IoOp op);
// Caps every read and write at a few bytes, as signals and pipes may.
void set_io_short_transfers(bool on);

}  // namespace lidar
