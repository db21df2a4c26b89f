#include "link/unhandlederrorroute.h"

#include "net/ScktComp.h"

#include <utility>

UnhandledErrorRoute::UnhandledErrorRoute(std::function<void(const std::exception& error)> sink)
{
    ScktComp::SetApplicationErrorHandler(std::move(sink));
}

UnhandledErrorRoute::~UnhandledErrorRoute()
{
    ScktComp::SetApplicationErrorHandler(nullptr);
}
