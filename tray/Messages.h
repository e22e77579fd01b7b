// Private window messages, notice kinds and command identifiers of the tray program.
// Plain numbers so that both the Windows program and the native unit tests use them.
#pragma once

#include <cstdint>

namespace qdrl {

inline constexpr unsigned kWmApp = 0x8000;  // WM_APP

inline constexpr unsigned WM_TRAY_NOTICE = kWmApp + 2;     // wParam = notice kind
inline constexpr unsigned WM_TRAY_ICON = kWmApp + 10;      // notification-icon callback
inline constexpr unsigned WM_DOWNLOAD_DONE = kWmApp + 11;  // download thread finished

inline constexpr unsigned NOTICE_ALREADY_RUNNING = 1;
inline constexpr unsigned NOTICE_UPDATE_AVAILABLE = 2;

inline constexpr unsigned ID_UPDATE_WIZARD = 900;
inline constexpr unsigned ID_SHOW_NOTICES = 901;  // lParam = notice flags
inline constexpr unsigned ID_ABOUT = 32813;

// Bit of the ID_SHOW_NOTICES flags that asks for the removable-media notice.
inline constexpr std::intptr_t NOTICE_FLAG_REMOVABLE_MEDIA = 2;

// Indexes of the dialog-parent table, in the order start-up creates them.
inline constexpr int DLG_PARENT_ABOUT = 0;
inline constexpr int DLG_PARENT_UPDATE = 1;
inline constexpr int DLG_PARENT_NOTICES = 2;
inline constexpr int DLG_PARENT_COUNT = 3;

}  // namespace qdrl
