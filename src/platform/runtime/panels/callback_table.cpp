// The callback table handed over by the program at start-up.
#include "callback_table.h"

#include <utility>
#include <vector>

namespace runtime {
namespace {

template <typename Function>
using Table = std::vector<std::pair<QString, Function>>;

Table<CtrlCallbackPtr>& ControlTable() {
    static Table<CtrlCallbackPtr> table;
    return table;
}

Table<MenuCallbackPtr>& MenuTable() {
    static Table<MenuCallbackPtr> table;
    return table;
}

template <typename Function, typename Entry>
void Fill(Table<Function>& table, std::span<const Entry> entries) {
    table.clear();
    for (const Entry& entry : entries)
        if (entry.name != nullptr && entry.function != nullptr)
            table.emplace_back(QString::fromUtf8(entry.name), entry.function);
}

template <typename Function>
bool LookUp(const Table<Function>& table, const QString& name, Function* function) {
    for (const auto& [known, callback] : table) {
        if (known != name) continue;
        *function = callback;
        return true;
    }
    return false;
}

}  // namespace

void SetCallbackTable(std::span<const ControlCallbackEntry> controls,
                      std::span<const MenuCallbackEntry> menus) {
    Fill(ControlTable(), controls);
    Fill(MenuTable(), menus);
}

namespace ui {

bool LookUpControlCallback(const QString& name, CtrlCallbackPtr* function) {
    return LookUp(ControlTable(), name, function);
}

bool LookUpMenuCallback(const QString& name, MenuCallbackPtr* function) {
    return LookUp(MenuTable(), name, function);
}

}  // namespace ui
}  // namespace runtime
