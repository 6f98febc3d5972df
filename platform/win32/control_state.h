// The state of the system's controls, shared by their window procedures and the person's
// side of them. Internal to platform/win32.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/controls_api.h"

namespace win32::user::controls {

enum class Kind { kStatic, kButton, kEdit, kList, kCombo, kUpDown, kProgress, kAnimation };

struct Item {
  std::u16string text;
  LPARAM data = 0;
  bool selected = false;
};

struct ControlData {
  Kind kind = Kind::kStatic;
  DWORD style = 0;
  HANDLE image = nullptr;
  // Buttons.
  UINT check = BST_UNCHECKED;
  UINT state = 0;
  // Edits.
  size_t limit = 30000;
  WCHAR password = 0;
  bool modified = false;
  // Lists and combo boxes.
  std::vector<Item> items;
  int current = -1;
  int caret = 0;
  int extent = 0;
  int item_height = kFixedCharHeight;
  // Up-down controls and progress bars.
  int low = 0;
  int high = 100;
  int pos = 0;
  int step = 10;
  HWND buddy = nullptr;
  // Animations.
  std::u16string opened;
  bool playing = false;
};

// The state of every control, by window. Windows that went without WM_NCDESTROY (with their

// The state of every control, by window; it lives from WM_NCCREATE to WM_NCDESTROY. Windows that
// went without WM_NCDESTROY (with their thread) are swept when the next control is made.
std::mutex& DataLock();
std::map<HWND, ControlData>& AllData();
// The control's state, or null. REQUIRES: DataLock() held.
ControlData* DataOf(HWND window);

bool Multiple(const ControlData& data);
bool OwnerDrawn(const ControlData& data);
bool HasStrings(const ControlData& data);
bool Sorted(const ControlData& data);

// Owner-draw messages about items, sent to the control's parent. REQUIRES: DataLock() not held.
void MeasureItem(HWND window, const ControlData& data, int index, LPARAM item_data);
void DeleteItems(HWND window, Kind kind, const std::vector<std::pair<int, LPARAM>>& items);

// The list box messages (LB_*) of a list or combo box.
LRESULT ListMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// The list box message a combo box message means, or 0.
UINT ListMessageOf(UINT message);
// A combo box shows its current entry as its text.
void ShowCurrent(HWND window);

// The device context of the screen, the only one.
HDC ScreenDC();

}  // namespace win32::user::controls
