// The window's command table: every command id with its name, menu text and handlers.
#pragma once

#include <cstddef>

class CTarnickDlg;
class CCmdUI;
using UINT = unsigned int;

struct CommandEntry {
    UINT id;
    const char* name;
    const char* text;
    // Carries the command out; null while the command has no handler in this program.
    void (CTarnickDlg::*handler)();
    // Enables or checks the command's menu items; null when nothing decides that.
    void (CTarnickDlg::*update)(CCmdUI*);
};

// The entry of an id, or null.
const CommandEntry* findCommand(UINT id);

// A menu as laid out: ids in order, 0 a separator, and sub-menus by index into `subMenus`.
struct MenuItem {
    UINT id;          // 0: separator, or a sub-menu when subMenu >= 0
    int subMenu = -1; // index into MenuLayout::subMenus
};
struct MenuLayout {
    const char* text;
    const MenuItem* items;
    std::size_t count;
    const MenuLayout* subMenus = nullptr;
};

// Menu 132: the menu bar's four pop-ups.
extern const MenuLayout kMainMenu[4];
// Menu 133: the tray menu's pop-up.
extern const MenuLayout kTrayMenu;
