#include "platform/win32/broadcast_api.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/win32/win32_test_machine.h"
#include "platform/win32/windows.h"

namespace {

struct Seen {
  HWND window;
  UINT message;
  WPARAM wparam;
  DWORD unit_mask;
};

std::vector<Seen> seen;
HWND refusing = nullptr;

LRESULT Recording(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DEVICECHANGE: {
      const auto* volume = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(lparam);
      EXPECT_EQ(volume->dbcv_devicetype, DBT_DEVTYP_VOLUME);
      seen.push_back(Seen{window, message, wparam, volume->dbcv_unitmask});
      return TRUE;
    }
    case WM_QUERYENDSESSION:
    case WM_ENDSESSION:
      seen.push_back(Seen{window, message, wparam, 0});
      if (message == WM_QUERYENDSESSION && window == refusing) return FALSE;
      break;
    default:
      break;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

class Broadcasts : public Win32Machine {
 protected:
  Broadcasts() {
    seen.clear();
    refusing = nullptr;
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = Recording;
    window_class.lpszClassName = u"Recorder";
    RegisterClassExW(&window_class);
    first_ = New(nullptr);
    second_ = New(nullptr);
    New(HWND_MESSAGE);
  }
  ~Broadcasts() override { win32::UserModules::Uninstall(u"wtsapi32.dll"); }

  static HWND New(HWND parent) {
    return CreateWindowExW(0, u"Recorder", u"", 0, 0, 0, 0, 0, parent, nullptr, nullptr,
                           nullptr);
  }

  HWND first_;
  HWND second_;
};

TEST_F(Broadcasts, AVolumeChangeReachesEveryTopLevelWindow) {
  win32::UserControl::BroadcastVolumeChange(true, 1u << 3, 0);
  win32::UserControl::BroadcastVolumeChange(false, 1u << 3, 0);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].window, second_);
  EXPECT_EQ(seen[0].wparam, DBT_DEVICEARRIVAL);
  EXPECT_EQ(seen[0].unit_mask, 1u << 3);
  EXPECT_EQ(seen[1].window, first_);
  EXPECT_EQ(seen[3].wparam, DBT_DEVICEREMOVECOMPLETE);
}

TEST_F(Broadcasts, ARefusingWindowKeepsTheSessionAndTheOthersHearItGoesOn) {
  EXPECT_TRUE(win32::UserControl::EndSession(0));
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[2].message, WM_ENDSESSION);
  EXPECT_EQ(seen[2].wparam, static_cast<WPARAM>(TRUE));
  seen.clear();

  refusing = first_;
  EXPECT_FALSE(win32::UserControl::EndSession(ENDSESSION_LOGOFF));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].window, first_);
  EXPECT_EQ(seen[2].window, second_);
  EXPECT_EQ(seen[2].message, WM_ENDSESSION);
  EXPECT_EQ(seen[2].wparam, static_cast<WPARAM>(FALSE));
}

TEST_F(Broadcasts, SessionNotificationsComeToWindowsRegisteredThroughTheLibrary) {
  EXPECT_EQ(LoadLibraryW(u"wtsapi32.dll"), nullptr);
  win32::UserModules::Install(win32::SessionLibrary());
  HMODULE library = LoadLibraryW(u"wtsapi32.dll");
  ASSERT_NE(library, nullptr);
  auto subscribe = reinterpret_cast<PWTSREGISTERSESSIONNOTIFICATION>(
      GetProcAddress(library, "WTSRegisterSessionNotification"));
  auto unsubscribe = reinterpret_cast<PWTSUNREGISTERSESSIONNOTIFICATION>(
      GetProcAddress(library, "WTSUnRegisterSessionNotification"));
  ASSERT_NE(subscribe, nullptr);
  ASSERT_NE(unsubscribe, nullptr);
  EXPECT_TRUE(subscribe(first_, NOTIFY_FOR_THIS_SESSION));
  EXPECT_FALSE(subscribe(first_, 2));

  win32::UserControl::SessionChange(WTS_SESSION_LOCK, 1);
  MSG message;
  ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.hwnd, first_);
  EXPECT_EQ(message.message, WM_WTSSESSION_CHANGE);
  EXPECT_EQ(message.wParam, WTS_SESSION_LOCK);
  EXPECT_EQ(message.lParam, 1);

  EXPECT_TRUE(unsubscribe(first_));
  EXPECT_FALSE(unsubscribe(first_));
  win32::UserControl::SessionChange(WTS_SESSION_UNLOCK, 1);
  EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
  FreeLibrary(library);
}

}  // namespace
