// The one gate every background thread passes to reach the interpreter. It
// closes when the interpreter begins to exit, before finalisation frees
// anything: from then on no background thread touches the interpreter again.
#pragma once

namespace drovik::py {

// Registers the closing of the gate with the interpreter's exit, once per
// process. The caller holds the GIL; cheap after the first call.
void install_exit_gate();

// True when the caller may attach; it must call leave_gate() after detaching.
// False once the gate has closed: the caller never touches the interpreter again.
// A thread already inside may enter again (nested), also after the close: the
// closer is waiting for it.
bool enter_gate() noexcept;
void leave_gate() noexcept;

// Around a wait with the GIL released: the thread leaves the gate wholly, so that
// the exit never waits for a wait, and comes back with `reasons` entries. Coming
// back is refused once the gate has closed, except on the thread that closed it.
unsigned step_out_of_gate() noexcept;
bool step_back_into_gate(unsigned reasons) noexcept;

// Work that must happen as the interpreter exits, once no background thread
// can enter any more and before the exit waits for those inside (the motors'
// safe stop). It runs holding the GIL. Set once, holding the GIL.
void set_work_at_close(void (*work)() noexcept) noexcept;

// Whether the gate has closed (the interpreter is exiting).
bool gate_closed() noexcept;

// True in a child process that this thread forked from inside its call: the
// child is a copy of one of our threads and must never go on with our loops.
bool forked_inside_this_call() noexcept;
// Ends such a child as one that returned from its function would end: its
// Python output flushed, status 0. The caller holds the GIL.
[[noreturn]] void end_forked_child();

}  // namespace drovik::py
