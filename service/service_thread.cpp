#include "service/service_thread.h"

#include <system_error>

#include "base/exception.h"
#include "service/service.h"

TServiceThread::~TServiceThread() {
  if (thread_.joinable()) thread_.join();
}

void TServiceThread::Start() {
  try {
    thread_ = std::thread([this] { service_.ServiceThreadBody(); });
  } catch (const std::system_error& e) {
    throw Exception(e.what());
  }
}

void TServiceThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

void TServiceThread::SuspendUntilNextCode() {
  std::unique_lock<std::mutex> hold(lock_);
  suspended_ = true;
  resumed_.wait(hold, [this] { return codes_posted_ > codes_taken_; });
  suspended_ = false;
}

bool TServiceThread::Suspended() const {
  std::lock_guard<std::mutex> hold(lock_);
  return suspended_;
}

void TServiceThread::CodePosted() {
  std::lock_guard<std::mutex> hold(lock_);
  ++codes_posted_;
  resumed_.notify_all();
}

void TServiceThread::CodeTaken() {
  std::lock_guard<std::mutex> hold(lock_);
  ++codes_taken_;
}
