// GoogleTest's Notification rests on std::mutex and std::condition_variable, which mingw's win32 thread
// model does not have. This stand-in on a Win32 event is included ahead of every GoogleTest source of the
// Windows test program, which GoogleTest allows through GTEST_HAS_NOTIFICATION_.
#pragma once

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : event_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) { }
    ~Notification() { ::CloseHandle(event_); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { ::SetEvent(event_); }
    void WaitForNotification() { ::WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

}  // namespace internal
}  // namespace testing
