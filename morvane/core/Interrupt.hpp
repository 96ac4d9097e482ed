#pragma once

// Interruption of long loops: a loop whose length the caller chooses polls between its iterations, and an
// installed check (the Python module's looks for a pending signal) may end the call by throwing.

namespace Morvane {

// A check run by the polls; it ends the running call by throwing. Null (the default) polls nothing.
using InterruptCheck = void (*)();

// Installs `check` for every thread and returns the check it replaces.
InterruptCheck setInterruptCheck(InterruptCheck check);

// Installs `check` only while `expected` is the installed check, so that a check installed meanwhile by someone
// else stays; whether it did.
bool replaceInterruptCheck(InterruptCheck expected, InterruptCheck check);

namespace utils {
// Called between iterations. Cheap enough for loops over a few slots: the check runs at most about every
// 20 ms of a thread's polling, and the clock is read only every 16th poll.
void pollInterrupt();

// Runs the check now: for a wait that only an interrupt may end, polled at its own pace.
void checkInterrupt();
} // namespace utils

} // namespace Morvane
