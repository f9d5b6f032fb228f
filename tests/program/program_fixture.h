// Loads the program's panels as start-up does, for tests that drive them.
#pragma once

#include <QtTest>

#include <QTemporaryDir>

#include "runtime.h"
#include "runtime_testing.h"
#include "panel_handles.h"
#include "run_state.h"
#include "ui.h"
#include "upload_ids.h"

class ProgramPanels {
public:
    ProgramPanels() {
        runtime::SetCallbackTable(orvex::control_callbacks(), orvex::menu_callbacks());
        status_ = orvex::start_up();
        runtime::DisplayPanel(orvex::update_handle);
    }
    ~ProgramPanels() {
        runtime::DiscardPanel(orvex::file_handle);
        runtime::DiscardPanel(orvex::update_handle);
        orvex::run.programming = 0;
    }
    ProgramPanels(const ProgramPanels&) = delete;
    ProgramPanels& operator=(const ProgramPanels&) = delete;

    int status() const { return status_; }

private:
    int status_ = 0;
};

inline QString text_of(int control) {
    char text[512] = {};
    runtime::GetCtrlVal(orvex::update_handle, control, text);
    return QString::fromLatin1(text);
}

inline int value_of(int control) {
    int value = -1;
    runtime::GetCtrlVal(orvex::update_handle, control, &value);
    return value;
}

inline int attribute_of(int control, int attribute) {
    int value = -1;
    runtime::GetCtrlAttribute(orvex::update_handle, control, attribute, &value);
    return value;
}

inline bool visible(int control) { return attribute_of(control, runtime::ATTR_VISIBLE) == 1; }
inline bool dimmed(int control) { return attribute_of(control, runtime::ATTR_DIMMED) == 1; }

// Chooses a small HEX file that passes the program's check, written into `dir`.
inline void choose_valid_hex(const QTemporaryDir& dir) {
    const QString path = dir.filePath(QStringLiteral("small.hex"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(":0100000000FF\r\n:00000001FF\r\n");
    file.close();
    runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_FILE_NAME, path.toLocal8Bit().constData());
}

// A path whose UTF-8 form overflows the program's path buffer while its
// characters fit the field, with a file holding `content` at the path the
// buffer would cut it to: a cut path would name that other, existing file.
// Empty when the temporary folder leaves no room for it.
inline QString overlong_multibyte_path(const QTemporaryDir& dir, const QByteArray& content) {
    constexpr qsizetype kBufferBytes = qsizetype(orvex::kPathSize) - 1;
    const QString wide(100, QChar(0x00E9));  // two bytes each in UTF-8
    const QString folder = dir.filePath(wide);
    const qsizetype fill = kBufferBytes - folder.toUtf8().size() - 1;
    if (fill < 1 || !QDir().mkpath(folder)) return {};
    const QString cut = folder + QLatin1Char('/') + QString(fill, QLatin1Char('x'));
    QFile file(cut);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) return {};
    return cut + wide.left(5) + QStringLiteral(".hex");
}

// Presses START as the operator would.
inline void press_start() {
    QTest::mouseClick(runtime::ControlWidget(orvex::update_handle, ids::UPDATE_START), Qt::LeftButton);
}
