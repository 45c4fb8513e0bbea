// gtest_notification_win32.h: googletest's Notification without std::mutex, which GCC 12's win32 thread model
// lacks.
//
// Force-included before googletest; only googletest's own thread helpers use it.
#pragma once

#include <atomic>

// As <windows.h> declares it; googletest keeps that header out of its own.
extern "C" __declspec(dllimport) void __stdcall Sleep(unsigned long milliseconds);

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {

class Notification {
  public:
    Notification() = default;
    Notification(const Notification &) = delete;
    Notification &operator=(const Notification &) = delete;

    void Notify() { notified_.store(true); }

    void WaitForNotification() {
        while (!notified_.load())
            Sleep(1);
    }

  private:
    std::atomic<bool> notified_{false};
};

} // namespace testing::internal
