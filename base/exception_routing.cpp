#include "base/exception_routing.h"

#include <mutex>

namespace routing {
namespace {
// Never destroyed, so that threads ending at process exit can still route.
std::mutex& router_lock = *new std::mutex;
Router& installed = *new Router;
}  // namespace

void SetRouter(Router router) {
  std::lock_guard<std::mutex> hold(router_lock);
  installed = std::move(router);
}

void RouteException(TObject* sender) {
  Router router;
  {
    std::lock_guard<std::mutex> hold(router_lock);
    router = installed;
  }
  if (!router) return;
  try {
    router(sender, std::current_exception());
  } catch (...) {
    // A router that fails has nowhere left to report to.
  }
}

}  // namespace routing
