// One upload as the operator makes it: the program's own panel and code in
// this process, the unit simulator as a separate process on the other side of
// the bus. Shared by the end-to-end tests of the three buses.
#pragma once

#include <QtTest>

#include <QFileInfo>
#include <QTemporaryDir>
#include <cstring>

#include "../program/program_fixture.h"
#include "sim_process.h"
#include "upload.h"

namespace e2e {

// Shrinks every pause and time-out of the program, the GPIB driver and the
// simulator together; 1.0 is real time.
inline void set_time_scale(double scale) {
    runtime::SetTimeScale(scale);
    qputenv("ORVEX_GPIB_TIME_SCALE", QByteArray::number(scale, 'g', 6));
}

inline QStringList sim_time_scale_args(double scale) {
    return {QStringLiteral("--time-scale"), QString::number(scale, 'g', 6)};
}

// The panel, arranged for one bus, with the HEX file chosen.
class Operator {
public:
    Operator() = default;

    void choose_bus(int menu_item) { QVERIFY(runtime::TriggerMenu(orvex::update_handle, menu_item)); }
    void choose_file(const QString& path) {
        runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_FILE_NAME,
                            QFileInfo(path).absoluteFilePath().toLocal8Bit().constData());
    }
    void type_password(const char* password) {
        runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_PASSWORD, password);
    }
    // Presses START; the whole run happens inside the press.
    void start() {
        orvex::failure = 0;
        press_start();
        QCOMPARE(orvex::programming, 0);
    }

    QString messages() const { return text_of(ids::UPDATE_ERR); }
    QString revision_before() const { return text_of(ids::UPDATE_REVISION); }
    QString revision_after() const { return text_of(ids::UPDATE_CURRENTREV); }
    QString model() const { return text_of(ids::UPDATE_MODEL); }
    QString serial_number() const { return text_of(ids::UPDATE_SERIAL); }
    int progress() const { return value_of(ids::UPDATE_NUMERICSLIDE); }
    bool password_message_shown() const { return visible(ids::UPDATE_PASSMSG); }
    bool file_panel_shown() const { return runtime::PanelWindow(orvex::file_handle)->isVisible(); }
    void dismiss_file_panel() { runtime::HidePanel(orvex::file_handle); }

private:
    ProgramPanels panels_;
};

// Writes a HEX file of `records` records (see SimProcess::makeHex).
inline QString make_hex(const QTemporaryDir& dir, const char* name, int records,
                        const QStringList& args = {}) {
    return orvex::test::SimProcess::makeHex(dir.filePath(QString::fromLatin1(name)), records, args);
}

}  // namespace e2e
