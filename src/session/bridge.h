// Events that reached the bridge on a thread the interpreter does not know.
//
// From 3.12 the interpreter's current thread state is per thread.  An SDK
// that delivers an event from a native thread of its own, while the Python
// caller waits inside an SDK call holding the interpreter lock, reaches the
// bridge on a thread without a thread state: it can neither run Python code
// there nor take the lock without deadlocking.  The bridge copies such an
// event and returns to the SDK; the copies are delivered on the Python
// thread, in arrival order, before the next event the bridge receives there
// and when the SDK call returns.  Before 3.12 the waiting caller's thread
// state serves every thread and the event is delivered at once.
#pragma once
#include <atomic>

#include "module/compat.h"

namespace csdk {

extern std::atomic<bool> parked_events;

// Delivers the parked events, keeping any pending exception as it is.
void deliver_parked_events();

// Called by every binding after its SDK call returns.
inline void after_sdk_call() {
    if constexpr (compat::per_thread_state) {
        if (CSDK_UNLIKELY(parked_events.load(std::memory_order_acquire))) deliver_parked_events();
    }
}

}  // namespace csdk
