#include "no_display.h"

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime.h"

namespace runtime {
namespace {

NoDisplayHandler g_handler = nullptr;
QtMessageHandler g_previous = nullptr;

// What Qt said while the application object was being made: passed on once
// it exists, or dropped when the one line about the display replaces it.
struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
std::vector<HeldMessage> g_held;

bool OnWayland() {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty()) return platform.startsWith("wayland");
    return qgetenv("XDG_SESSION_TYPE") == "wayland";
}

const char* DisplayVariable() { return OnWayland() ? "WAYLAND_DISPLAY" : "DISPLAY"; }

// "DISPLAY=:0", or "DISPLAY is not set".
std::string DisplayTried() {
    const QByteArray value = qgetenv(DisplayVariable());
    if (value.isEmpty()) return std::string(DisplayVariable()) + " is not set";
    return std::string(DisplayVariable()) + '=' + value.toStdString();
}

// The platform itself reported that it could not reach its display server
// (or no X display is named at all), as opposed to a platform plugin that is
// missing or broken, which Qt's own words describe better.
bool DisplayUnreachable() {
    if (!OnWayland() && qgetenv("DISPLAY").isEmpty()) return true;
    const QByteArray own_category = OnWayland() ? "qt.qpa.wayland" : "qt.qpa.xcb";
    for (const HeldMessage& message : g_held)
        if (message.category.startsWith(own_category)) return true;
    return false;
}

void PassOnHeld() {
    for (const HeldMessage& message : g_held) {
        const QMessageLogContext context(nullptr, 0, nullptr, message.category.constData());
        g_previous(message.type, context, message.text);
    }
    g_held.clear();
}

void HoldMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
        g_held.push_back({type, QByteArray(context.category), text});
        return;
    }
    if (DisplayUnreachable()) {
        const int status = g_handler(DisplayTried().c_str());
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    // Another failure: Qt's own words, and its abort.
    PassOnHeld();
    g_previous(type, context, text);
}

}  // namespace

void SetNoDisplayHandler(NoDisplayHandler handler) { g_handler = handler; }

namespace detail {

DisplayWatch::DisplayWatch() {
    if (g_handler == nullptr) return;
    previous_ = qInstallMessageHandler(HoldMessage);
    g_previous = previous_;
    active_ = true;
}

DisplayWatch::~DisplayWatch() {
    if (!active_) return;
    qInstallMessageHandler(previous_);
    PassOnHeld();
}

}  // namespace detail
}  // namespace runtime
