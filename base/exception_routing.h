#pragma once
// The one place where exceptions that escape event handlers go. Window procedures and idle work
// catch everything and call RouteException from inside their catch block; the application
// installs the router that decides what happens (event log, error log or message box).

#include <exception>
#include <functional>

class TObject;

namespace routing {

using Router = std::function<void(TObject* sender, std::exception_ptr error)>;

// Installs the application's router; an empty one drops routed exceptions.
void SetRouter(Router router);

// Hands the exception currently being handled to the router, with the object whose procedure
// caught it. Must be called inside a catch block. Never throws.
void RouteException(TObject* sender);

}  // namespace routing
