// The service object's settings and the values it derives from them for the service manager.

#include <gtest/gtest.h>

#include "service/application.h"
#include "service/service.h"
#include "service/service_application.h"

namespace {

TEST(ServiceProperties, DefaultsOfANewService) {
  TService service;
  EXPECT_TRUE(service.AllowStop());
  EXPECT_TRUE(service.AllowPause());
  EXPECT_EQ(service.Dependencies().Count(), 0u);
  EXPECT_EQ(service.ErrorSeverity(), esNormal);
  EXPECT_FALSE(service.Interactive());
  EXPECT_EQ(service.ServiceType(), stWin32);
  EXPECT_EQ(service.StartType(), stAuto);
  EXPECT_EQ(service.TagID(), 0u);
  EXPECT_EQ(service.WaitHint(), 5000u);
  EXPECT_EQ(service.Status(), csStopped);
  EXPECT_FALSE(service.StopRequested());
}

TEST(ServiceProperties, DisplayNameReadsAsNameWhileEmpty) {
  TService service;
  service.SetName("Rodivo_vedodaraz");
  EXPECT_EQ(service.DisplayName(), "Rodivo_vedodaraz");
  service.SetDisplayName("Korvenet");
  EXPECT_EQ(service.DisplayName(), "Korvenet");
}

TEST(ServiceProperties, SettersCoupleTheirProperties) {
  TService service;
  service.SetAllowStop(false);
  service.SetOnStop(TStopEvent::FromFunction([](TService*, bool&) {}));
  EXPECT_TRUE(service.AllowStop());

  service.SetAllowPause(false);
  service.SetOnPause(TPauseEvent::FromFunction([](TService*, bool&) {}));
  EXPECT_TRUE(service.AllowPause());
  service.SetAllowPause(false);
  service.SetOnContinue(TContinueEvent::FromFunction([](TService*, bool&) {}));
  EXPECT_TRUE(service.AllowPause());

  service.SetPassword("secret");
  service.SetServiceStartName("operator");
  service.SetInteractive(true);
  EXPECT_EQ(service.Password(), "");
  EXPECT_EQ(service.ServiceStartName(), "");
  service.SetPassword("secret");
  EXPECT_FALSE(service.Interactive());
  service.SetInteractive(true);
  service.SetServiceStartName("operator");
  EXPECT_FALSE(service.Interactive());
  service.SetInteractive(true);
  service.SetPassword("");  // an empty value leaves Interactive alone
  EXPECT_TRUE(service.Interactive());
}

TEST(ServiceValues, AcceptedControls) {
  TService service;
  EXPECT_EQ(service.AcceptedControls(), 7u);
  service.SetAllowPause(false);
  EXPECT_EQ(service.AcceptedControls(), 5u);  // the relay module: stop and shutdown
  service.SetAllowStop(false);
  EXPECT_EQ(service.AcceptedControls(), 4u);
}

TEST(ServiceValues, ServiceTypeCode) {
  TService service;
  EXPECT_EQ(service.ServiceTypeCode(), 0x10u);
  service.SetInteractive(true);
  EXPECT_EQ(service.ServiceTypeCode(), 0x110u);
  service.SetServiceType(stDevice);
  EXPECT_EQ(service.ServiceTypeCode(), 1u);  // Interactive counts for Win32 services only
  service.SetServiceType(stFileSystem);
  EXPECT_EQ(service.ServiceTypeCode(), 2u);
}

TEST(ServiceValues, SharedProcessWhenTheApplicationHoldsTwoModules) {
  TApplication application;
  TServiceApplication owner(application);
  TService& first = owner.AddModule(std::make_unique<TService>());
  EXPECT_EQ(first.ServiceTypeCode(), 0x10u);
  owner.AddModule(std::make_unique<TService>());
  EXPECT_EQ(first.ServiceTypeCode(), 0x20u);
  first.SetInteractive(true);
  EXPECT_EQ(first.ServiceTypeCode(), 0x120u);
}

TEST(ServiceValues, StartTypeCode) {
  TService service;
  const std::pair<TStartType, unsigned> win32[] = {
      {stBoot, 2}, {stSystem, 2}, {stAuto, 2}, {stManual, 3}, {stDisabled, 4}};
  for (auto [type, code] : win32) {
    service.SetStartType(type);
    EXPECT_EQ(service.StartTypeCode(), code) << type;
  }
  service.SetServiceType(stDevice);
  const std::pair<TStartType, unsigned> device[] = {
      {stBoot, 0}, {stSystem, 1}, {stAuto, 2}, {stManual, 3}, {stDisabled, 4}};
  for (auto [type, code] : device) {
    service.SetStartType(type);
    EXPECT_EQ(service.StartTypeCode(), code) << type;
  }
  service.SetServiceType(stFileSystem);
  service.SetStartType(stBoot);
  EXPECT_EQ(service.StartTypeCode(), 2u);
}

TEST(ServiceValues, ErrorControlCode) {
  TService service;
  const std::pair<TErrorSeverity, unsigned> codes[] = {
      {esIgnore, 0}, {esNormal, 1}, {esSevere, 2}, {esCritical, 3}};
  for (auto [severity, code] : codes) {
    service.SetErrorSeverity(severity);
    EXPECT_EQ(service.ErrorControlCode(), code);
  }
}

TEST(ServiceValues, DependencyList) {
  TService service;
  EXPECT_EQ(service.DependencyList(), "");
  service.Dependencies().Add("G", true);
  service.Dependencies().Add("S", false);
  EXPECT_EQ(service.DependencyList(), std::string("+G\0S\0\0", 6));
}

TEST(ServiceCommandLine, SwitchesNeedADashOrSlashAndIgnoreCase) {
  EXPECT_TRUE(FindCmdLineSwitch({"-install"}, "INSTALL"));
  EXPECT_TRUE(FindCmdLineSwitch({"/InStAlL"}, "INSTALL"));
  EXPECT_TRUE(FindCmdLineSwitch({"other", "-silent"}, "SILENT"));
  EXPECT_FALSE(FindCmdLineSwitch({"--install"}, "INSTALL"));
  EXPECT_FALSE(FindCmdLineSwitch({"install"}, "INSTALL"));
  EXPECT_FALSE(FindCmdLineSwitch({"-installx"}, "INSTALL"));
  EXPECT_FALSE(FindCmdLineSwitch({"-", "/", ""}, "INSTALL"));
  EXPECT_FALSE(FindCmdLineSwitch({}, "INSTALL"));
}

}  // namespace
