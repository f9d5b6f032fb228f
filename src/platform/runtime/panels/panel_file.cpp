// Reading a panel file into panel descriptions.
#include "panel_file.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <array>
#include <cmath>
#include <optional>
#include <utility>

#include "runtime.h"

namespace runtime::ui {
namespace {

constexpr auto kFormat = "orvex-panel-1";

constexpr std::array<std::pair<ControlKind, const char*>, 8> kKindNames{{
    {ControlKind::String, "string"},
    {ControlKind::Ring, "ring"},
    {ControlKind::Command, "command"},
    {ControlKind::TextMessage, "textmsg"},
    {ControlKind::Slide, "slide"},
    {ControlKind::Led, "led"},
    {ControlKind::Decoration, "decoration"},
    {ControlKind::Timer, "timer"},
}};

std::optional<ControlKind> KindFromName(const QString& name) {
    for (const auto& [kind, text] : kKindNames)
        if (name == QLatin1String(text)) return kind;
    return std::nullopt;
}

// A whole number that fits an int, or nothing.
std::optional<int> WholeNumber(const QJsonValue& value) {
    if (!value.isDouble()) return std::nullopt;
    const double number = value.toDouble();
    if (!(std::fabs(number) < 2147483647.0) || std::floor(number) != number) return std::nullopt;
    return static_cast<int>(number);
}

// The value, or `fallback` where the file leaves it out.
QJsonValue Or(const QJsonValue& value, int fallback) {
    return value.isUndefined() ? QJsonValue(fallback) : value;
}

// "cell": [row, column] and "span": [rows, columns] of a layout hint object.
bool ReadCell(const QJsonObject& layout, GridCell& cell) {
    if (layout.contains(QLatin1String("cell"))) {
        const QJsonArray at = layout.value(QLatin1String("cell")).toArray();
        const auto row = WholeNumber(at.at(0));
        const auto column = WholeNumber(at.at(1));
        if (at.size() != 2 || !row || !column || *row < 0 || *column < 0) return false;
        cell.row = *row;
        cell.column = *column;
    }
    if (layout.contains(QLatin1String("span"))) {
        const QJsonArray span = layout.value(QLatin1String("span")).toArray();
        const auto rows = WholeNumber(span.at(0));
        const auto columns = WholeNumber(span.at(1));
        if (span.size() != 2 || !rows || !columns || *rows < 1 || *columns < 1) return false;
        cell.row_span = *rows;
        cell.column_span = *columns;
    }
    return true;
}

constexpr std::array<std::pair<const char*, Qt::AlignmentFlag>, 3> kAlignments{{
    {"left", Qt::AlignLeft},
    {"right", Qt::AlignRight},
    {"center", Qt::AlignHCenter},
}};

bool ReadAlignment(const QJsonObject& layout, Qt::Alignment& align) {
    const QString name = layout.value(QLatin1String("align")).toString();
    align = {};
    if (name.isEmpty()) return true;
    for (const auto& [text, flag] : kAlignments) {
        if (name != QLatin1String(text)) continue;
        align = flag;
        return true;
    }
    return false;
}

bool ReadStretch(const QJsonValue& value, std::vector<int>& factors) {
    for (const QJsonValue& entry : value.toArray()) {
        const auto factor = WholeNumber(entry);
        if (!factor || *factor < 0) return false;
        factors.push_back(*factor);
    }
    return value.isUndefined() || value.isArray();
}

bool ReadRingItems(const QJsonArray& items, std::vector<RingItem>& out) {
    for (const QJsonValue& entry : items) {
        const QJsonArray pair = entry.toArray();
        const auto value = WholeNumber(pair.at(1));
        if (pair.size() != 2 || !pair.at(0).isString() || !value) return false;
        out.push_back({pair.at(0).toString(), *value});
    }
    return !out.empty();
}

bool ReadControl(const QJsonObject& object, ControlDescription& control) {
    control.constant = object.value(QLatin1String("constant")).toString();
    const auto kind = KindFromName(object.value(QLatin1String("kind")).toString());
    if (control.constant.isEmpty() || !kind) return false;
    control.kind = *kind;
    control.label = object.value(QLatin1String("label")).toString();
    control.callback = object.value(QLatin1String("callback")).toString();
    control.group = object.value(QLatin1String("group")).toString();
    control.display_only = object.value(QLatin1String("display_only")).toBool(false);
    control.alert = object.value(QLatin1String("alert")).toBool(false);
    control.enabled = object.value(QLatin1String("enabled")).toBool(false);

    if (object.contains(QLatin1String("max_length"))) {
        const auto length = WholeNumber(object.value(QLatin1String("max_length")));
        if (!length || *length < 1) return false;
        control.max_length = *length;
    }
    const QJsonValue value = object.value(QLatin1String("value"));
    switch (control.kind) {
        case ControlKind::String:
            if (!value.isUndefined() && !value.isString()) return false;
            control.text = value.toString();
            break;
        case ControlKind::Ring: {
            if (!ReadRingItems(object.value(QLatin1String("items")).toArray(), control.items)) return false;
            const auto selected = value.isUndefined() ? control.items.front().value : WholeNumber(value);
            if (!selected) return false;
            bool listed = false;
            for (const RingItem& item : control.items) listed = listed || item.value == *selected;
            if (!listed) return false;
            control.number = *selected;
            break;
        }
        case ControlKind::Slide:
        case ControlKind::Led: {
            const auto number = value.isUndefined() ? std::optional<int>(0) : WholeNumber(value);
            const auto minimum = WholeNumber(Or(object.value(QLatin1String("min")), 0));
            const auto maximum = WholeNumber(Or(object.value(QLatin1String("max")), 100));
            if (!number || !minimum || !maximum || *minimum > *maximum) return false;
            control.number = *number;
            control.minimum = *minimum;
            control.maximum = *maximum;
            break;
        }
        case ControlKind::Timer: {
            const double interval = object.value(QLatin1String("interval")).toDouble(0.0);
            if (!(interval > 0.0) || control.callback.isEmpty()) return false;
            control.interval_s = interval;
            break;
        }
        case ControlKind::Command:
        case ControlKind::TextMessage:
        case ControlKind::Decoration:
            break;
    }

    const QJsonObject layout = object.value(QLatin1String("layout")).toObject();
    control.prominent = layout.value(QLatin1String("prominent")).toBool(false);
    if (layout.contains(QLatin1String("min_chars"))) {
        const auto chars = WholeNumber(layout.value(QLatin1String("min_chars")));
        if (!chars || *chars < 1) return false;
        control.min_chars = *chars;
    }
    return ReadCell(layout, control.cell) && ReadAlignment(layout, control.align);
}

bool ReadGroup(const QJsonObject& object, GroupDescription& group) {
    group.name = object.value(QLatin1String("name")).toString();
    group.title = object.value(QLatin1String("title")).toString();
    const QJsonObject layout = object.value(QLatin1String("layout")).toObject();
    group.framed = layout.value(QLatin1String("frame")).toBool(true);
    return !group.name.isEmpty() && ReadCell(layout, group.cell) &&
           ReadStretch(layout.value(QLatin1String("column_stretch")), group.column_stretch) &&
           ReadStretch(layout.value(QLatin1String("row_stretch")), group.row_stretch);
}

bool ReadMenuBar(const QJsonObject& object, std::vector<MenuDescription>& menus) {
    for (const QJsonValue& entry : object.value(QLatin1String("menus")).toArray()) {
        const QJsonObject menuObject = entry.toObject();
        MenuDescription menu;
        menu.constant = menuObject.value(QLatin1String("constant")).toString();
        menu.label = menuObject.value(QLatin1String("label")).toString();
        menu.callback = menuObject.value(QLatin1String("callback")).toString();
        for (const QJsonValue& itemEntry : menuObject.value(QLatin1String("items")).toArray()) {
            const QJsonObject itemObject = itemEntry.toObject();
            MenuItemDescription item{itemObject.value(QLatin1String("constant")).toString(),
                                     itemObject.value(QLatin1String("label")).toString(),
                                     itemObject.value(QLatin1String("callback")).toString()};
            if (item.constant.isEmpty()) return false;
            menu.items.push_back(item);
        }
        if (menu.constant.isEmpty()) return false;
        menus.push_back(menu);
    }
    return !menus.empty();
}

// Identifier names are unique within a panel, and controls name existing groups.
bool Consistent(const PanelDescription& panel) {
    QSet<QString> names;
    QSet<QString> groups;
    for (const GroupDescription& group : panel.groups) groups.insert(group.name);
    for (const ControlDescription& control : panel.controls) {
        if (names.contains(control.constant)) return false;
        if (!control.group.isEmpty() && !groups.contains(control.group)) return false;
        names.insert(control.constant);
    }
    QSet<QString> menuNames;
    for (const MenuDescription& menu : panel.menus) {
        if (menuNames.contains(menu.constant)) return false;
        menuNames.insert(menu.constant);
        for (const MenuItemDescription& item : menu.items) {
            if (menuNames.contains(item.constant)) return false;
            menuNames.insert(item.constant);
        }
    }
    return true;
}

int ReadPanel(const QJsonObject& object, const QJsonArray& menubars, PanelDescription& panel) {
    panel.name = object.value(QLatin1String("name")).toString();
    panel.title = object.value(QLatin1String("title")).toString();
    for (const QJsonValue& entry : object.value(QLatin1String("groups")).toArray()) {
        GroupDescription group;
        if (!ReadGroup(entry.toObject(), group)) return kErrPanelFile;
        panel.groups.push_back(group);
    }
    for (const QJsonValue& entry : object.value(QLatin1String("controls")).toArray()) {
        ControlDescription control;
        if (!ReadControl(entry.toObject(), control)) return kErrPanelFile;
        panel.controls.push_back(control);
    }
    panel.menubar_name = object.value(QLatin1String("menubar")).toString();
    if (!panel.menubar_name.isEmpty()) {
        bool found = false;
        for (const QJsonValue& entry : menubars) {
            const QJsonObject bar = entry.toObject();
            if (bar.value(QLatin1String("name")).toString() != panel.menubar_name) continue;
            if (!ReadMenuBar(bar, panel.menus)) return kErrPanelFile;
            found = true;
            break;
        }
        if (!found) return kErrPanelFile;
    }
    return Consistent(panel) ? 0 : kErrPanelFile;
}

}  // namespace

QString KindName(ControlKind kind) {
    for (const auto& [known, text] : kKindNames)
        if (known == kind) return QLatin1String(text);
    return {};
}

int ReadPanelDescription(const QString& fileName, int resource, PanelDescription& panel) {
    if (fileName.isEmpty()) return kErrPanelFile;
    QFile file(QStringLiteral(":/panels/") + fileName);
    if (!file.exists()) file.setFileName(fileName);
    if (!file.open(QIODevice::ReadOnly)) return kErrPanelFile;

    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) return kErrPanelFile;
    const QJsonObject root = document.object();
    if (root.value(QLatin1String("format")).toString() != QLatin1String(kFormat)) return kErrPanelFile;

    const QJsonArray menubars = root.value(QLatin1String("menubars")).toArray();
    for (const QJsonValue& entry : root.value(QLatin1String("panels")).toArray()) {
        const QJsonObject object = entry.toObject();
        if (WholeNumber(object.value(QLatin1String("resource"))) != resource) continue;
        panel = PanelDescription{};
        panel.resource = resource;
        return ReadPanel(object, menubars, panel);
    }
    return kErrPanelResource;
}

QString ShortcutText(const QString& label) {
    QString out;
    out.reserve(label.size() + 1);
    bool marked = false;
    bool pending = false;  // a mark waits for its non-blank character
    for (qsizetype i = 0; i < label.size(); ++i) {
        const QChar c = label.at(i);
        if (!marked && c == u'_' && i + 1 < label.size() && label.at(i + 1) == u'_') {
            pending = true;
            marked = true;
            ++i;
            continue;
        }
        if (pending) {
            if (c.isSpace()) continue;
            out += u'&';
            pending = false;
        }
        if (c == u'&') out += u'&';
        out += c;
    }
    return out;
}

}  // namespace runtime::ui
