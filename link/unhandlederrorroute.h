// Where the errors go that escape the processing of a connection's
// notification (a refused message, a failed send): to the front end's error
// display, for as long as the route lives.
#pragma once

#include <exception>
#include <functional>

class UnhandledErrorRoute {
public:
    explicit UnhandledErrorRoute(std::function<void(const std::exception& error)> sink);
    // Back to the connection layer's default, a warning on standard error.
    ~UnhandledErrorRoute();

    UnhandledErrorRoute(const UnhandledErrorRoute&) = delete;
    UnhandledErrorRoute& operator=(const UnhandledErrorRoute&) = delete;
};
