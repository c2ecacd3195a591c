#include "base/warning_routing.h"

#include <mutex>

namespace routing {
namespace {
// Never destroyed, so that threads ending at process exit can still report.
std::mutex& sink_lock = *new std::mutex;
WarningSink& installed = *new WarningSink;
}  // namespace

void SetWarningSink(WarningSink sink) {
  std::lock_guard<std::mutex> hold(sink_lock);
  installed = std::move(sink);
}

void ReportWarning(TObject* sender, const std::string& text) {
  WarningSink sink;
  {
    std::lock_guard<std::mutex> hold(sink_lock);
    sink = installed;
  }
  if (!sink) return;
  try {
    sink(sender, text);
  } catch (...) {
    // A sink that fails has nowhere left to report to.
  }
}

}  // namespace routing
