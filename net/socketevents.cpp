#include "net/socketevents.h"

#include "net/socketevents_p.h"
#include "net/platformsocket.h"

#include <QtGlobal>

#include <cstdio>
#include <string>
#include <utility>

namespace ScktComp {

namespace {

TApplicationErrorHandler& applicationErrorHandler()
{
    static TApplicationErrorHandler handler;
    return handler;
}

} // namespace

void SetApplicationErrorHandler(TApplicationErrorHandler handler)
{
    applicationErrorHandler() = std::move(handler);
}

void HandleApplicationError(const std::exception& error)
{
    const TApplicationErrorHandler handler = applicationErrorHandler();
    if (handler) {
        try {
            handler(error);
            return;
        } catch (...) {
            // A failing handler must not take the event loop down; fall back to the warning.
        }
    }
    qWarning("%s", error.what());
}

void raiseSocketError(int code, const char* api)
{
    const std::string text = Platform::errorText(code);
    char message[512];
    std::snprintf(message, sizeof message, "Windows socket error: %s (%d), on API '%s'", text.c_str(), code, api);
    throw ESocketError(message);
}

void raiseFormatted(const char* format, int value)
{
    char message[128];
    std::snprintf(message, sizeof message, format, value);
    throw ESocketError(message);
}

} // namespace ScktComp
