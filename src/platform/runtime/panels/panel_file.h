// Reading a panel file: the JSON text that describes panels, their controls
// and menu bars, turned into plain descriptions that the panel builder works
// from. Nothing here creates a widget.
#pragma once

#include <QString>
#include <Qt>

#include <vector>

namespace runtime::ui {

enum class ControlKind { String, Ring, Command, TextMessage, Slide, Led, Decoration, Timer };

// The panel file's name of a kind ("string", "ring", ...).
QString KindName(ControlKind kind);

struct RingItem {
    QString label;
    int value = 0;
};

// A place in a grid of cells. A negative row means "the next free row".
struct GridCell {
    int row = -1;
    int column = -1;
    int row_span = 1;
    int column_span = 1;
};

struct ControlDescription {
    QString constant;  // identifier name, also the widget's object name
    ControlKind kind = ControlKind::String;
    QString label;     // caption, button text or message text
    QString callback;  // name in the program's callback table; empty: none
    QString group;     // empty: the panel's own area
    QString text;      // initial text of a string field
    int number = 0;    // initial value of a ring (an item's value), slide or LED
    bool display_only = false;
    int max_length = 0;  // 0: no limit
    std::vector<RingItem> items;
    double interval_s = 0.0;  // timers
    bool enabled = false;     // timers: running once loaded
    bool alert = false;       // text messages that warn
    int minimum = 0;
    int maximum = 100;
    // Layout hints.
    GridCell cell;
    Qt::Alignment align;
    bool prominent = false;
    int min_chars = 0;  // a text field at least this many characters wide
};

struct GroupDescription {
    QString name;
    QString title;
    GridCell cell;
    bool framed = true;
    std::vector<int> column_stretch;  // empty: fields stretch, captions do not
    std::vector<int> row_stretch;     // empty: rows pack at the top
};

struct MenuItemDescription {
    QString constant;
    QString label;
    QString callback;
};

struct MenuDescription {
    QString constant;
    QString label;
    QString callback;  // a menu without items is itself a command
    std::vector<MenuItemDescription> items;
};

struct PanelDescription {
    QString name;
    int resource = 0;
    QString title;
    std::vector<GroupDescription> groups;
    std::vector<ControlDescription> controls;  // identifiers 2, 3, ... in this order
    QString menubar_name;                      // empty: no menu bar
    std::vector<MenuDescription> menus;        // identifiers 2, 3, ... menus and items in order
};

// Finds `fileName` among the embedded panels (":/panels/<fileName>"), else in
// the file system, and reads the panel with resource number `resource`.
// Returns 0, kErrPanelFile (missing, unreadable or malformed) or
// kErrPanelResource (no such panel in the file).
int ReadPanelDescription(const QString& fileName, int resource, PanelDescription& panel);

// A label as the panel file writes it ("__X" marks X as the keyboard shortcut)
// turned into Qt's form ("&X", a literal '&' doubled). A mark before blanks
// marks the next non-blank character, and the blanks after the mark go.
QString ShortcutText(const QString& label);

}  // namespace runtime::ui
