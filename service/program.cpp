#include "service/program.h"

#include <string>
#include <typeinfo>
#include <vector>

#include "base/exception.h"
#include "base/main_thread_calls.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "service/application.h"
#include "service/application_events.h"
#include "service/service.h"
#include "service/service_application.h"

namespace {

void ShowApplicationError(const std::string& class_name, const std::string& message, const void* address) {
  platform::ShowMessageBox("Application Error", ApplicationErrorText(class_name, message, address),
                           platform::BoxIcon::kError);
}

int RunWithObjects(const std::vector<std::string>& arguments, const ModuleFactory& create_module) {
  // The process-wide objects, in this order; destroyed in reverse order.
  TApplication application;
  TServiceApplication service_application(application);
  application.CreateMultiCaster();
  // The modules (and the dispatcher) go at the end of every run, also when it fails.
  struct DestroyModulesAtEnd {
    TServiceApplication& owner;
    ~DestroyModulesAtEnd() { owner.DestroyModules(); }
  } exit_procedure{service_application};

  service_application.SetTitle("Korvenet");
  TService& module = service_application.AddModule(create_module());
  SetServiceModule(&module);
  return service_application.Run(arguments);
}

}  // namespace

int RunServiceProgram(int argc, char** argv, const ModuleFactory& create_module) {
  // Control requests belong to the dispatcher's thread: keep them from every thread from now.
  platform::ReserveControlRequests();
  platform::RaiseDescriptorLimit();
  main_thread::SetMainThread();
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i] ? argv[i] : "");
  try {
    return RunWithObjects(arguments, create_module);
  } catch (const Exception& e) {
    ShowApplicationError(e.ClassName(), e.Message(), &e);
  } catch (const std::exception& e) {
    ShowApplicationError(typeid(e).name(), e.what(), &e);
  } catch (...) {
    ShowApplicationError("Exception", "", nullptr);
  }
  return 1;
}
