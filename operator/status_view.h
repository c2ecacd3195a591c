#pragma once
// The operator's status view inside the running service: the status endpoint of the
// executable's directory (platform/status_endpoint.h), answered from the relay on the service
// thread; the readable line of the service's reports while it runs; and warning entries about
// clients that misuse the endpoint, at most one a minute. An endpoint whose name another
// process holds is said so in an error entry and tried again every second on the passes, with
// an entry once it answers. Made by the service module once its relay has started
// (relay/relay_companion.h); service thread.

#include <memory>

#include "relay/relay_companion.h"

// The requests the endpoint answers: "text", "text peers" and "json".
std::unique_ptr<TRelayCompanion> StartStatusView(TService& service, Relay& relay);
