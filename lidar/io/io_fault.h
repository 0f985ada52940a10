// A test seam in the file layer: makes one chosen call of one operation fail
// as the system would, or runs a callback just before it, so tests can drive
// every failure path of the real code and change the file under it at a
// chosen moment. Internal to the module, never exported. Every plan and
// count belongs to the calling thread, so threads checking files at once
// never see each other's. Left alone it costs a counter increment and a
// compare per system call (one per block on the scan).
#pragma once

#include <cstddef>
#include <functional>

namespace lidar {

enum class IoOp { open_read, open_update, read, seek, write, sync, close, count_ };

// The nth call (from 1) of op after this one fails with errno error; EINTR
// is retried by the file layer like a real interruption. A failing close
// still releases the descriptor, as close(2) does on Linux. Resets the
// call counts and any hook.
void set_io_fault(IoOp op, unsigned long nth, int error);
// Runs hook just before the nth call (from 1) of op. Resets the call counts
// and any fault.
void set_io_hook(IoOp op, unsigned long nth, std::function<void()> hook);
// No more faults, hooks or short transfers; resets the call counts.
void clear_io_faults();
// Calls of op since the last set_io_fault, set_io_hook or clear_io_faults.
unsigned long io_calls(IoOp op);
// Caps every read and write at cap bytes (0: no cap), as signals and pipes may.
void set_io_transfer_cap(std::size_t cap);

// For threads that work on the calling thread's behalf (a scan shared
// between threads): the caller's plan, which such a thread adopts, so a
// planned fault strikes whichever of them makes the nth call.
struct IoPlanShare {
    void* plan = nullptr;
};
IoPlanShare share_io_plan();
void adopt_io_plan(IoPlanShare share);

}  // namespace lidar
