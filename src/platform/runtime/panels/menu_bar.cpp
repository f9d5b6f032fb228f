// Menu bars.
#include "menu_bar.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QWidget>

namespace runtime::ui {
namespace {

void Connect(QAction* action, int panel, int id) {
    QObject::connect(action, &QAction::triggered, action, [panel, id] { CallMenu(panel, id); });
}

}  // namespace

void BuildMenuBar(const PanelDescription& desc, const std::vector<MenuCallbackPtr>& callbacks, Panel& panel) {
    auto* bar = new QMenuBar(panel.window.get());
    // The bar stays in the panel window on every desktop, where tests find it too.
    bar->setNativeMenuBar(false);
    bar->setObjectName(desc.menubar_name);
    panel.menubar = bar;
    panel.menubar_handle = NextMenuBarHandle();

    int id = kFirstMenuId;
    auto callback = [&callbacks](int entryId) {
        return callbacks[static_cast<std::size_t>(entryId - kFirstMenuId)];
    };
    for (const MenuDescription& menuDesc : desc.menus) {
        MenuEntry menu{id, menuDesc.constant, nullptr, nullptr, callback(id)};
        if (menuDesc.items.empty()) {
            menu.action = bar->addAction(ShortcutText(menuDesc.label));
            menu.action->setObjectName(menuDesc.constant);
            Connect(menu.action, panel.handle, id);
            panel.menus.push_back(menu);
            ++id;
            continue;
        }
        menu.menu = bar->addMenu(ShortcutText(menuDesc.label));
        menu.menu->setObjectName(menuDesc.constant);
        menu.action = menu.menu->menuAction();
        if (menu.callback != nullptr) {
            // A menu that opens calls its own callback as it is pulled down.
            const int menuId = id;
            const int handle = panel.handle;
            QObject::connect(menu.menu, &QMenu::aboutToShow, menu.menu,
                             [handle, menuId] { CallMenu(handle, menuId); });
        }
        QMenu* items = menu.menu;
        panel.menus.push_back(menu);
        ++id;
        for (const MenuItemDescription& itemDesc : menuDesc.items) {
            MenuEntry item{id, itemDesc.constant, items->addAction(ShortcutText(itemDesc.label)), nullptr,
                           callback(id)};
            item.action->setObjectName(itemDesc.constant);
            Connect(item.action, panel.handle, id);
            panel.menus.push_back(item);
            ++id;
        }
    }
}

bool ActivateMenuEntry(int panel, int id) {
    const MenuEntry* entry = FindMenuEntry(panel, id);
    if (entry == nullptr || entry->menu != nullptr || entry->action == nullptr) return false;
    if (!entry->action->isEnabled() || !entry->action->isVisible()) return false;
    entry->action->trigger();
    return true;
}

}  // namespace runtime::ui
