// Loading, showing and discarding panels.
#include <QApplication>
#include <QWidget>

#include "panel_builder.h"
#include "panel_registry.h"
#include "runtime.h"

namespace runtime {

int LoadPanel(int parentPanel, const char* fileName, int resourceId) {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return kErrNoApplication;
    // Panels are top-level windows; a parent only has to exist.
    if (parentPanel != 0 && ui::FindPanel(parentPanel) == nullptr) return kErrInvalidPanel;

    ui::PanelDescription desc;
    const int read =
        ui::ReadPanelDescription(QString::fromUtf8(fileName != nullptr ? fileName : ""), resourceId, desc);
    if (read != 0) return read;

    auto panel = std::make_unique<ui::Panel>();
    panel->handle = ui::NextPanelHandle();
    const int built = ui::BuildPanel(desc, *panel);
    if (built != 0) return built;
    const int handle = panel->handle;
    ui::AddPanel(std::move(panel));
    return handle;
}

int DiscardPanel(int panel) { return ui::RemovePanel(panel) ? 0 : kErrInvalidPanel; }

int DisplayPanel(int panel) {
    ui::Panel* target = ui::FindPanel(panel);
    if (target == nullptr) return kErrInvalidPanel;
    QWidget* window = target->window.get();
    window->show();
    window->raise();
    window->activateWindow();
    return 0;
}

int HidePanel(int panel) {
    ui::Panel* target = ui::FindPanel(panel);
    if (target == nullptr) return kErrInvalidPanel;
    target->window->hide();
    return 0;
}

}  // namespace runtime
