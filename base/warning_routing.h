#pragma once
// Where warnings go: conditions the system works through on its own but that an operator
// should hear of once (a listener that must refuse connections while descriptors are short).
// The application installs the sink (in the service run, the event log); without one a
// warning is dropped.

#include <functional>
#include <string>

class TObject;

namespace routing {

using WarningSink = std::function<void(TObject* sender, const std::string& text)>;

// Installs the sink; an empty one drops warnings. Any thread.
void SetWarningSink(WarningSink sink);

// Hands a warning to the installed sink. Any thread; never throws, never waits for a reader.
void ReportWarning(TObject* sender, const std::string& text);

}  // namespace routing
