// Internal to the connection layer: raising its errors and keeping them out
// of the event loop.
#pragma once

#include "net/socketevents.h"

namespace ScktComp {

// "Windows socket error: %s (%d), on API '%s'" for a failed system call.
[[noreturn]] void raiseSocketError(int code, const char* api);
// An ESocketError whose message is `format` with one integer.
[[noreturn]] void raiseFormatted(const char* format, int value);

// Runs `work`; whatever it raises goes to the application error handler. For
// notifications, which must not unwind into the event loop, and for clean-up
// that runs while another error is already on its way to the caller.
template <typename Work>
void guarded(Work&& work) noexcept
{
    try {
        work();
    } catch (const std::exception& error) {
        HandleApplicationError(error);
    } catch (...) {
        HandleApplicationError(ESocketError("Unknown error"));
    }
}

} // namespace ScktComp
