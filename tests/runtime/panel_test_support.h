// Shared by the panel tests: a callback table under the program's names whose
// every entry records its calls, and a way to drive modal pop-ups.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "runtime.h"

namespace support {

inline constexpr std::array<const char*, 7> kControlCallbacks{
    "get_filename", "start_update", "OK_File", "LanTimer", "ComTimer", "Generic_Timer", "TX_TIMER"};
inline constexpr std::array<const char*, 4> kMenuCallbacks{"BUS_232", "BUS_488", "BUS_LAN",
                                                           "Exit_Program"};

struct ControlCall {
    QString name;
    int panel;
    int control;
    int event;
    std::chrono::steady_clock::time_point at;
};
struct MenuCall {
    QString name;
    int menuBar;
    int item;
    int panel;
};

inline std::vector<ControlCall>& ControlCalls() {
    static std::vector<ControlCall> calls;
    return calls;
}
inline std::vector<MenuCall>& MenuCalls() {
    static std::vector<MenuCall> calls;
    return calls;
}
// What a test wants to happen inside a callback, after it has been recorded.
inline std::function<void(const ControlCall&)>& OnControl() {
    static std::function<void(const ControlCall&)> hook;
    return hook;
}
inline std::function<void(const MenuCall&)>& OnMenu() {
    static std::function<void(const MenuCall&)> hook;
    return hook;
}

template <std::size_t I>
int RecordControl(int panel, int control, int event, void*, int, int) {
    ControlCalls().push_back(
        {kControlCallbacks[I], panel, control, event, std::chrono::steady_clock::now()});
    if (OnControl()) OnControl()(ControlCalls().back());
    return 0;
}

template <std::size_t I>
void RecordMenu(int menuBar, int item, void*, int panel) {
    MenuCalls().push_back({kMenuCallbacks[I], menuBar, item, panel});
    if (OnMenu()) OnMenu()(MenuCalls().back());
}

template <std::size_t... I>
auto ControlTable(std::index_sequence<I...>) {
    return std::array<runtime::ControlCallbackEntry, sizeof...(I)>{
        {{kControlCallbacks[I], &RecordControl<I>}...}};
}
template <std::size_t... I>
auto MenuTable(std::index_sequence<I...>) {
    return std::array<runtime::MenuCallbackEntry, sizeof...(I)>{
        {{kMenuCallbacks[I], &RecordMenu<I>}...}};
}

// Installs the recording table and forgets earlier calls and hooks.
inline void InstallRecorders() {
    static const auto controls = ControlTable(std::make_index_sequence<kControlCallbacks.size()>());
    static const auto menus = MenuTable(std::make_index_sequence<kMenuCallbacks.size()>());
    runtime::SetCallbackTable(controls, menus);
    ControlCalls().clear();
    MenuCalls().clear();
    OnControl() = nullptr;
    OnMenu() = nullptr;
}

// Scales time for one test and restores real time however the test ends.
class ScopedTimeScale {
public:
    explicit ScopedTimeScale(double scale) { runtime::SetTimeScale(scale); }
    ~ScopedTimeScale() { runtime::SetTimeScale(1.0); }
    ScopedTimeScale(const ScopedTimeScale&) = delete;
    ScopedTimeScale& operator=(const ScopedTimeScale&) = delete;
};

inline int CallsOf(int control) {
    int count = 0;
    for (const ControlCall& call : ControlCalls()) count += call.control == control ? 1 : 0;
    return count;
}

// Polls the modal pop-up that the code under test opens: `step` gets it until
// it returns true (it has closed the pop-up). Gives up after `limit_ms` by
// closing it, so a failing test never hangs in a modal loop.
inline void DriveModal(std::function<bool(QWidget*)> step, int limit_ms = 20000) {
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    auto poll = std::make_shared<std::function<void()>>();
    // Each run is a copy held by its single-shot timer; emptying *poll at the
    // end breaks the cycle between the function and its own pointer.
    *poll = [step = std::move(step), clock, poll, limit_ms] {
        QWidget* modal = QApplication::activeModalWidget();
        const bool done = modal != nullptr && step(modal);
        if (!done && clock->elapsed() > limit_ms && modal != nullptr) modal->close();
        if (done || clock->elapsed() > limit_ms) {
            *poll = nullptr;
            return;
        }
        QTimer::singleShot(20, *poll);
    };
    QTimer::singleShot(0, *poll);
}

}  // namespace support
