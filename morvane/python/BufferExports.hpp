#pragma once

// The count of live buffer exports of messages (kept by the class Message) and the checks of the members that
// change a message's slot count or replace its slot storage.

#include "morvane/morvane.hpp"

// Exports of a message's slot storage through the buffer protocol are counted while the interpreter lock is
// held. A member that may change a message's slot count or replace its slot storage (set_data with another
// length, load, a library call that writes a message output) calls this with that lock held before it changes
// anything: while a view is exported it raises BufferError, as CPython does for its own resizable types.
void ensureNoExports(const Morvane::Message& message);
// Whether a view of the message's slot storage is exported now (interpreter lock held).
bool hasExports(const Morvane::Message& message);
// For a member that writes `size` slots into a message output: a view stays valid while the slot count
// stays, so only a new count is refused while one is exported. Interpreter lock held, before anything changes.
inline void ensureResizable(const Morvane::Message& message, Morvane::u64 size) {
    if (message.getSize() != size)
        ensureNoExports(message);
}
