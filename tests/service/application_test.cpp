// The main thread's message loop, queued main-thread calls, the end-of-session filter and the
// routing of exceptions that escape window procedures.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "base/exception_routing.h"
#include "base/main_thread_calls.h"
#include "platform/process.h"
#include "service/application.h"
#include "service/application_events.h"
#include "service/service_application.h"
#include "tests/service/service_test_support.h"

namespace {

void RouteFrom(TObject* sender, const std::function<void()>& raise) {
  try {
    raise();
  } catch (...) {
    routing::RouteException(sender);
  }
}

class MainThreadApplication : public ::testing::Test {
 protected:
  void SetUp() override { setenv("KORVENET_EVENTLOG", dir_.file("log").c_str(), 1); }
  void TearDown() override { unsetenv("KORVENET_EVENTLOG"); }

  // Runs loop steps until `done` holds (the loop blocks while idle, so others must post).
  bool LoopUntil(TApplication& application, const std::function<bool()>& done) {
    auto end = test::Clock::now() + test::kDeadline;
    while (!done()) {
      if (test::Clock::now() > end) return false;
      application.HandleMessage();
    }
    return true;
  }

  test::TempDir dir_;
};

TEST_F(MainThreadApplication, QueuedCallsRunInTheMessageLoop) {
  TApplication application;
  std::atomic<int> ran{0};
  std::atomic<bool> on_main{false};
  std::atomic<bool> rethrown{false};
  std::thread other([&] {
    main_thread::Synchronize([&] {
      on_main = main_thread::IsMainThread();
      ++ran;
    });
    try {
      main_thread::Synchronize([&] {
        ++ran;
        throw Exception("back to sender");
      });
    } catch (const Exception& e) {
      rethrown = e.Message() == "back to sender";
    }
  });
  EXPECT_TRUE(LoopUntil(application, [&] { return ran == 2; }));
  other.join();
  EXPECT_TRUE(on_main);
  EXPECT_TRUE(rethrown);
}

TEST_F(MainThreadApplication, QuitFromAnotherThreadEndsTheLoop) {
  TApplication application;
  std::thread other([&] { platform::PostMessageTo(application.Handle(), platform::kWmQuit, 0, 0); });
  EXPECT_TRUE(LoopUntil(application, [&] { return application.Terminated(); }));
  other.join();
}

TEST_F(MainThreadApplication, EndOfSessionEndsTheLoopOnlyWithoutTheServiceFilter) {
  TApplication application;
  {
    TServiceApplication service_application(application);
    platform::PostMessageTo(application.Handle(), platform::kWmEndSession, 1, 0);
    platform::PostMessageTo(application.Handle(), platform::kWmNull, 0, 0);
    application.HandleMessage();
    application.HandleMessage();
    EXPECT_FALSE(application.Terminated());
  }
  platform::PostMessageTo(application.Handle(), platform::kWmEndSession, 1, 0);
  application.HandleMessage();
  EXPECT_TRUE(application.Terminated());
}

TEST_F(MainThreadApplication, ServiceRunLogsRoutedExceptionsUnderTheExecutableName) {
  test::DatagramListener log(dir_.file("log"));
  TApplication application;
  TServiceApplication service_application(application);
  application.CreateMultiCaster();
  application.SetOnException(TExceptionEvent::Bind(&service_application, &TServiceApplication::LogUnhandled));
  RouteFrom(&application, [] { throw EAbort("quiet"); });
  RouteFrom(&application, [] { throw Exception("Asynchronous socket error 104"); });
  test::ExpectSyslogEntry(log.Receive(), 27, platform::ExecutableFileName(), getpid(),
                          "Asynchronous socket error 104");
  // Messages carry bytes from outside: UTF-8 passes, anything else is read as code page 1251.
  for (const auto& entry : {std::pair<std::string, std::string>{"/srv/\xD0\x96", "/srv/\xD0\x96"},
                            {"COM\xC6", "COM\xD0\x96"}}) {
    RouteFrom(&application, [&] { throw Exception(entry.first); });
    test::ExpectSyslogEntry(log.Receive(), 27, platform::ExecutableFileName(), getpid(), entry.second);
  }
  EXPECT_FALSE(log.Receive(std::chrono::milliseconds(0)).has_value());
}

TEST_F(MainThreadApplication, InstallRunOffersExceptionsToTheApplicationEvents) {
  TApplication application;
  TServiceApplication service_application(application);
  application.CreateMultiCaster();
  TApplicationEvents first, second;
  std::vector<std::string> seen;
  TObject* seen_sender = nullptr;
  first.OnException = TExceptionEvent::FromFunction([&](TObject* sender, const Exception& e) {
    seen.push_back("first:" + e.Message());
    seen_sender = sender;
  });
  second.OnException = TExceptionEvent::FromFunction([&](TObject*, const Exception& e) {
    seen.push_back("second:" + e.Message());
  });
  test::CapturedStderr err(dir_.file("stderr"));
  RouteFrom(&application, [] { throw Exception("x"); });
  RouteFrom(&application, [] { throw EAbort("quiet"); });
  EXPECT_EQ(seen, (std::vector<std::string>{"second:x", "first:x"}));  // the last joined first
  EXPECT_EQ(seen_sender, &application);
  EXPECT_EQ(err.Text(), "");
}

TEST_F(MainThreadApplication, UnhandledExceptionsAreShownInABox) {
  TApplication application;
  test::CapturedStderr err(dir_.file("stderr"));
  {
    TServiceApplication service_application(application);
    application.CreateMultiCaster();  // no component handles exceptions
    RouteFrom(&application, [] { throw Exception("first problem"); });
    service_application.DestroyModules();  // the slot is empty afterwards
  }
  RouteFrom(&application, [] { throw Exception("ends with a stop."); });
  RouteFrom(&application, [] { throw Exception(""); });
  RouteFrom(&application, [] { throw 42; });
  const std::string title = application.Title();
  ASSERT_FALSE(title.empty());
  std::string text = err.Text();
  EXPECT_NE(text.find(title + ": first problem.\n"), std::string::npos) << text;
  EXPECT_NE(text.find(title + ": ends with a stop.\n"), std::string::npos) << text;
  EXPECT_NE(text.find(title + ": \n"), std::string::npos) << text;
  EXPECT_NE(text.find("Application Error: Exception Exception in module " + platform::ExecutableFileName()),
            std::string::npos)
      << text;
}

// Run by the test below, as a copy of this program under another name: shows the error box.
TEST(ServiceApplicationTitle, ChildShowsItsErrorBox) {
  if (!std::getenv("KORVENET_SHOW_ERROR_BOX")) GTEST_SKIP() << "runs only as the child of the title test";
  TApplication application;
  application.ShowErrorBox(Exception("boom"));
}

// The title is the executable's file name without its extension, every letter after the first
// in lower case; the name comes from the file system, so its bytes are shown as they are.
TEST(ServiceApplicationTitle, TitleIsTheFileNameWithoutExtensionInLowerCaseAfterTheFirstLetter) {
  test::TempDir dir;
  const std::string zhe = "\xD0\x96";  // a Cyrillic letter, as the file system gives it (UTF-8)
  const std::filesystem::path copy = dir.path() / ("Relay_" + zhe + "_SERVICE.Test.EXE");
  std::filesystem::copy_file("/proc/self/exe", copy);
  test::ChildProcess child(copy.string(), {"--gtest_filter=ServiceApplicationTitle.ChildShowsItsErrorBox"},
                           {{"KORVENET_SHOW_ERROR_BOX", "1"}});
  ASSERT_TRUE(child.Wait());
  EXPECT_EQ(child.ExitCode(), 0);
  EXPECT_EQ(child.Stderr(), "Relay_" + zhe + "_service.test: boom.\n");
}

}  // namespace
