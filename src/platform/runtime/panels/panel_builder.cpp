// Building panel windows.
#include "panel_builder.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QSet>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <map>
#include <tuple>
#include <vector>

#include "accessibility.h"
#include "callback_table.h"
#include "control_widgets.h"
#include "menu_bar.h"

namespace runtime::ui {
namespace {

// A panel has no close callback: only the program hides or ends it, so the
// window's own close control does nothing (as the operator knows it).
class IgnoreCloseControl final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close && event->spontaneous()) {
            event->ignore();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }
};

struct Area {
    int order = 0;  // groups in file order, the panel's own area last
    QWidget* container = nullptr;
    QGridLayout* grid = nullptr;
    int next_row = 0;
    QSet<int> caption_columns;
    QSet<int> field_columns;
    std::vector<int> column_stretch;
    std::vector<int> row_stretch;
};

struct Callbacks {
    std::vector<CtrlCallbackPtr> controls;
    std::vector<MenuCallbackPtr> menus;
};

bool ResolveCallbacks(const PanelDescription& desc, Callbacks& out) {
    for (const ControlDescription& control : desc.controls) {
        CtrlCallbackPtr function = nullptr;
        if (!control.callback.isEmpty() && !LookUpControlCallback(control.callback, &function)) return false;
        out.controls.push_back(function);
    }
    auto menuCallback = [&out](const QString& name) {
        MenuCallbackPtr function = nullptr;
        if (!name.isEmpty() && !LookUpMenuCallback(name, &function)) return false;
        out.menus.push_back(function);
        return true;
    };
    for (const MenuDescription& menu : desc.menus) {
        if (!menuCallback(menu.callback)) return false;
        for (const MenuItemDescription& item : menu.items)
            if (!menuCallback(item.callback)) return false;
    }
    return true;
}

void Place(QGridLayout* grid, QWidget* widget, const GridCell& cell, int& nextRow) {
    const int row = cell.row >= 0 ? cell.row : nextRow;
    grid->addWidget(widget, row, cell.column, cell.row_span, cell.column_span);
    nextRow = std::max(nextRow, row + cell.row_span);
}

// Groups sit in a grid of their own; each group lays its controls out in a
// grid whose caption columns hug their text while field columns stretch.
std::map<QString, Area> MakeAreas(const PanelDescription& desc, QWidget* window, QVBoxLayout* outer) {
    std::map<QString, Area> areas;
    auto* groups = new QGridLayout;
    int nextGroupRow = 0;
    for (const GroupDescription& group : desc.groups) {
        Area area;
        if (group.framed) {
            area.container = new QGroupBox(group.title, window);
        } else {
            area.container = new QWidget(window);
        }
        area.container->setObjectName(desc.name + QLatin1Char('_') + group.name);
        area.grid = new QGridLayout(area.container);
        if (!group.framed) area.grid->setContentsMargins(0, 0, 0, 0);
        area.order = static_cast<int>(areas.size());
        area.column_stretch = group.column_stretch;
        area.row_stretch = group.row_stretch;
        GridCell cell = group.cell;
        if (cell.column < 0) cell.column = 0;
        Place(groups, area.container, cell, nextGroupRow);
        areas.emplace(group.name, area);
    }
    // The groups take whatever room the window has beyond what they need.
    outer->addLayout(groups, 1);
    // Controls outside every group share the panel's own area below the groups;
    // without any, it takes no room.
    Area own;
    own.order = static_cast<int>(areas.size());
    own.container = new QWidget(window);
    own.container->setObjectName(desc.name + QStringLiteral("_panel"));
    own.grid = new QGridLayout(own.container);
    own.grid->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(own.container);
    areas.emplace(QString(), own);
    return areas;
}

// Where a widget went: the tab key follows the panel as it reads, group by
// group, row by row, left to right, not the order of the file.
struct Placement {
    int area;
    int row;
    int column;
    QWidget* widget;
    bool operator<(const Placement& other) const {
        return std::tie(area, row, column) < std::tie(other.area, other.row, other.column);
    }
};

void SetTabOrder(std::vector<Placement> placements) {
    std::stable_sort(placements.begin(), placements.end());
    for (std::size_t i = 1; i < placements.size(); ++i)
        QWidget::setTabOrder(placements[i - 1].widget, placements[i].widget);
}

Placement AddToArea(Area& area, Control& control) {
    GridCell cell = control.desc.cell;
    const bool captioned = control.caption != nullptr;
    if (cell.column < 0) cell.column = captioned ? 1 : 0;
    if (captioned && cell.column == 0) cell.column = 1;  // the caption needs the column to its left
    if (control.desc.cell.column < 0 && !captioned && control.desc.cell.column_span == 1)
        cell.column_span = 2;  // an uncaptioned control takes the caption's room too
    const int row = cell.row >= 0 ? cell.row : area.next_row;
    area.grid->addWidget(control.widget, row, cell.column, cell.row_span, cell.column_span,
                         control.desc.align);
    if (captioned) {
        area.grid->addWidget(control.caption, row, cell.column - 1, 1, 1, Qt::AlignLeft | Qt::AlignVCenter);
        area.caption_columns.insert(cell.column - 1);
    }
    area.field_columns.insert(cell.column);
    area.next_row = std::max(area.next_row, row + cell.row_span);
    return {area.order, row, cell.column, control.widget};
}

void FinishArea(Area& area) {
    if (!area.row_stretch.empty()) {
        for (std::size_t r = 0; r < area.row_stretch.size(); ++r)
            area.grid->setRowStretch(static_cast<int>(r), area.row_stretch[r]);
    } else {
        // Rows pack at the top, so that hidden controls leave no hole.
        area.grid->setRowStretch(area.grid->rowCount(), 1);
    }
    if (!area.column_stretch.empty()) {
        for (std::size_t c = 0; c < area.column_stretch.size(); ++c)
            area.grid->setColumnStretch(static_cast<int>(c), area.column_stretch[c]);
        return;
    }
    for (int c = 0; c < area.grid->columnCount(); ++c)
        area.grid->setColumnStretch(
            c, area.field_columns.contains(c) && !area.caption_columns.contains(c) ? 1 : 0);
}

void ConnectControl(const Control& control, int handle) {
    const int id = control.id;
    if (control.timer != nullptr) {
        QObject::connect(control.timer, &QTimer::timeout, control.timer,
                         [handle, id] { CallControl(handle, id, EVENT_TIMER_TICK); });
        return;
    }
    auto commit = [handle, id] { CallControl(handle, id, EVENT_COMMIT); };
    if (auto* button = qobject_cast<QPushButton*>(control.widget)) {
        QObject::connect(button, &QPushButton::clicked, button, commit);
    } else if (auto* ring = qobject_cast<QComboBox*>(control.widget)) {
        QObject::connect(ring, &QComboBox::activated, ring, commit);
    } else if (auto* edit = qobject_cast<QLineEdit*>(control.widget)) {
        QObject::connect(edit, &QLineEdit::returnPressed, edit, commit);
    }
}

}  // namespace

int BuildPanel(const PanelDescription& desc, Panel& panel) {
    Callbacks callbacks;
    if (!ResolveCallbacks(desc, callbacks)) return kErrCallbackName;

    panel.name = desc.name;
    panel.window = std::make_unique<TopLevelPanel>();
    QWidget* window = panel.window.get();
    window->setObjectName(desc.name);
    window->setWindowTitle(desc.title);
    window->installEventFilter(new IgnoreCloseControl(window));

    auto* outer = new QVBoxLayout(window);
    if (!desc.menubar_name.isEmpty()) {
        BuildMenuBar(desc, callbacks.menus, panel);
        outer->setMenuBar(panel.menubar);
    }
    std::map<QString, Area> areas = MakeAreas(desc, window, outer);

    std::vector<Placement> placements;
    panel.controls.reserve(desc.controls.size());
    for (std::size_t i = 0; i < desc.controls.size(); ++i) {
        Control control;
        control.id = kFirstControlId + static_cast<int>(i);
        control.desc = desc.controls[i];
        control.callback = callbacks.controls[i];
        if (control.desc.kind == ControlKind::Timer) {
            control.timer = new QTimer(window);
            control.timer->setTimerType(Qt::PreciseTimer);
            control.timer->setObjectName(control.desc.constant);
            control.visible = false;
        } else {
            Area& area = areas.at(control.desc.group);
            control.widget = MakeControlWidget(control.desc, area.container);
            control.caption = MakeCaption(control.desc, control.widget, area.container);
            placements.push_back(AddToArea(area, control));
        }
        panel.controls.push_back(control);
    }
    for (auto& [name, area] : areas) FinishArea(area);
    if (areas.at(QString()).grid->count() == 0) areas.at(QString()).container->hide();
    SetTabOrder(std::move(placements));
    NameControls(panel.controls);

    for (const Control& control : panel.controls) {
        ApplyEditability(control);
        ConnectControl(control, panel.handle);
        if (control.timer != nullptr && control.desc.enabled) StartTimer(control);
    }
    return 0;
}

}  // namespace runtime::ui
