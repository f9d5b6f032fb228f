// The operator at the program's own panel, in the test's process: the panels loaded as start-up loads
// them, pointed at a bus and a unit, START pressed, the panel and the detail line read back. The update
// records go to a temporary state home of this operator's own.
#pragma once

#include <QtTest>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>

#include "fixture.h"
#include "panel_handles.h"
#include "run_state.h"
#include "runtime.h"
#include "runtime_testing.h"
#include "ui.h"
#include "upload.h"
#include "upload_ids.h"

namespace orvex::test {

inline QString text_of(int control) {
    char text[512] = {};
    runtime::GetCtrlVal(orvex::update_handle, control, text);
    return QString::fromUtf8(text);
}
inline int value_of(int control) {
    int value = -1;
    return runtime::GetCtrlVal(orvex::update_handle, control, &value), value;
}
inline int attribute_of(int control, int attribute) {
    int value = -1;
    return runtime::GetCtrlAttribute(orvex::update_handle, control, attribute, &value), value;
}
inline bool visible(int control) { return attribute_of(control, runtime::ATTR_VISIBLE) == 1; }
inline bool dimmed(int control) { return attribute_of(control, runtime::ATTR_DIMMED) == 1; }
inline void set_text(int control, const QString& text) {
    runtime::SetCtrlVal(orvex::update_handle, control, text.toUtf8().constData());
}
inline void set_value(int control, int value) { runtime::SetCtrlVal(orvex::update_handle, control, value); }
inline void press_start() {
    QTest::mouseClick(runtime::ControlWidget(orvex::update_handle, ids::UPDATE_START), Qt::LeftButton);
}

// True when this process still holds `path` open.
inline bool held_open(const QString& path) {
    const QString target = QFileInfo(path).canonicalFilePath();
    const auto fds = QDir("/proc/self/fd").entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    return !target.isEmpty() &&
           std::ranges::any_of(fds, [&](const QFileInfo& fd) { return fd.symLinkTarget() == target; });
}

class Operator {
public:
    Operator() {
        env_.set("XDG_STATE_HOME", state_.path());
        runtime::SetCallbackTable(orvex::control_callbacks(), orvex::menu_callbacks());
        status_ = orvex::start_up();
        runtime::DisplayPanel(orvex::update_handle);
        QObject::connect(&popups_, &QTimer::timeout, [this] { accept_popups(); });
        popups_.start(std::chrono::milliseconds(10));
    }
    ~Operator() {
        runtime::DiscardPanel(orvex::file_handle);
        runtime::DiscardPanel(orvex::update_handle);
        orvex::run.programming = 0;
        runtime::SetTimeScale(1.0);
    }
    Operator(const Operator&) = delete;
    Operator& operator=(const Operator&) = delete;
    int status() const { return status_; }

    // The panel set for `bus` of `unit`, with `hex` and `password`; the
    // program runs at the unit's time scale.
    void aim(const Unit& unit, Bus bus, const QString& hex, const QString& password = "MORVANTE") {
        runtime::SetTimeScale(unit.scale());
        const int items[] = {ids::MENUBAR_BUSSELEC_SERIAL, ids::MENUBAR_BUSSELEC_LAN,
                             ids::MENUBAR_BUSSELEC_GPIB};
        runtime::TriggerMenu(orvex::update_handle, items[int(bus)]);
        set_value(ids::UPDATE_COMPORTS, unit.com());
        set_text(ids::UPDATE_IPADDR, unit.lan_address());
        set_value(ids::UPDATE_GPIBBOARDS, 0);
        set_value(ids::UPDATE_BUS_SELECTION_2, 6);
        choose_file(hex);
        set_text(ids::UPDATE_PASSWORD, password);
    }
    void choose_file(const QString& path) {
        set_text(ids::UPDATE_FILE_NAME, QFileInfo(path).absoluteFilePath());
    }
    // The password as typed, past the field's length limit.
    void force_password(const QByteArray& utf8) {
        auto* field =
            qobject_cast<QLineEdit*>(runtime::ControlWidget(orvex::update_handle, ids::UPDATE_PASSWORD));
        field->setMaxLength(int(utf8.size()) + 1);
        field->setText(QString::fromUtf8(utf8));
    }
    // Presses START; the whole run happens inside the press. Its length in ms.
    qint64 start() {
        popup_titles_.clear();
        QElapsedTimer clock;
        clock.start();
        press_start();
        return clock.elapsed();
    }

    QString messages() const { return text_of(ids::UPDATE_ERR); }
    QString detail() const { return text_of(ids::UPDATE_DETAIL); }
    QString revision_before() const { return text_of(ids::UPDATE_REVISION); }
    bool password_message_shown() const { return visible(ids::UPDATE_PASSMSG); }
    bool file_panel_shown() const { return runtime::PanelWindow(orvex::file_handle)->isVisible(); }
    void dismiss_file_panel() { runtime::HidePanel(orvex::file_handle); }
    QStringList popups() const { return popup_titles_; }
    // The update record's last line, as this run appended it.
    QJsonObject last_record() const {
        QFile file(state_.filePath("orvex-uploader/updates.jsonl"));
        file.open(QIODevice::ReadOnly);
        return QJsonDocument::fromJson(file.readAll().trimmed().split('\n').last()).object();
    }

    // A complete run as the panel shows it; OK TEST when the revision changed.
    void expect_updated(const QString& before = "V8.10", const QString& after = "V8.20") const {
        QCOMPARE(QStringList({messages(), detail(), revision_before(), text_of(ids::UPDATE_CURRENTREV),
                              text_of(ids::UPDATE_MODEL), text_of(ids::UPDATE_SERIAL),
                              QString::number(value_of(ids::UPDATE_NUMERICSLIDE)),
                              QString::number(orvex::run.programming)}),
                 QStringList(
                     {before != after ? "OK TEST" : "", "", before, after, "ZRA 12-34", "A123", "100", "0"}));
    }

private:
    // A modal pop-up would hold the run: each is accepted, its title kept.
    void accept_popups() {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(window);
            if (box == nullptr || !box->isVisible()) continue;
            popup_titles_ << box->windowTitle();
            box->accept();
        }
    }

    Env env_;
    QTemporaryDir state_;
    QTimer popups_;
    QStringList popup_titles_;
    int status_ = 0;
};

}  // namespace orvex::test
