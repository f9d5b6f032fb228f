// Identifiers of the panels, controls and menus in upload.panel. Controls are
// numbered from 2 in the order in which the panel file lists them; a test keeps
// this header and the panel file in step.
#pragma once

namespace ids {

// Panels, by resource number within upload.panel.
inline constexpr int FILEPNL = 1;
inline constexpr int UPDATE = 2;

inline constexpr int FILEPNL_OK_file = 2;
inline constexpr int FILEPNL_TEXTMSG3 = 3;

inline constexpr int UPDATE_BUS_SELECTION = 2;
inline constexpr int UPDATE_GPIBBOARDS = 3;
inline constexpr int UPDATE_COMPORTS = 4;
inline constexpr int UPDATE_BUS_SELECTION_2 = 5;
inline constexpr int UPDATE_IPADDR = 6;
inline constexpr int UPDATE_PASSWORD = 7;
inline constexpr int UPDATE_FILENAMEBUTTON = 8;
inline constexpr int UPDATE_START = 9;
inline constexpr int UPDATE_FILE_NAME = 10;
inline constexpr int UPDATE_MODEL = 11;
inline constexpr int UPDATE_ERR = 12;
inline constexpr int UPDATE_NUMERICSLIDE = 13;
inline constexpr int UPDATE_CURRENTREV = 14;
inline constexpr int UPDATE_REVISION = 15;
inline constexpr int UPDATE_SERIAL = 16;
inline constexpr int UPDATE_TX = 17;
inline constexpr int UPDATE_DECORATION_2 = 18;
inline constexpr int UPDATE_LANTIMER = 19;
inline constexpr int UPDATE_COMTIMER = 20;
inline constexpr int UPDATE_TIMER = 21;
inline constexpr int UPDATE_PASSMSG = 22;
inline constexpr int UPDATE_TXTIMER = 23;
inline constexpr int UPDATE_DECORATION = 24;
inline constexpr int UPDATE_TEXTMSG_BAUD = 25;
inline constexpr int UPDATE_DETAIL = 26;

// The main panel's menu bar: the bar itself, then its menus and items in order.
inline constexpr int MENUBAR = 1;
inline constexpr int MENUBAR_BUSSELEC = 2;
inline constexpr int MENUBAR_BUSSELEC_SERIAL = 3;
inline constexpr int MENUBAR_BUSSELEC_GPIB = 4;
inline constexpr int MENUBAR_BUSSELEC_LAN = 5;
inline constexpr int MENUBAR_EXIT = 6;

}  // namespace ids
