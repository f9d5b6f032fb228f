// Keeps the record file and the flash image file up to date for tests that
// read them while the simulator runs. Files are replaced atomically (written
// beside the target, then renamed), so a reader never sees half a file.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace orvex::sim {

class UnitCore;

class SnapshotWriter : public QObject {
public:
    // Coalesces bursts of changes (one per HEX record) into one write.
    static constexpr std::chrono::milliseconds kRecordSettle{50};

    SnapshotWriter(const UnitCore& core, QString recordPath, QString flashPath);

    void journalChanged();  // record file soon
    void writeAll();        // both files now; at EXIT and at shutdown

    // Empty on success, else why the file could not be replaced.
    static std::optional<std::string> replaceFile(const QString& path, const QByteArray& content);

private:
    void writeRecord();

    const UnitCore& core_;
    QString recordPath_;
    QString flashPath_;
    QTimer settle_;
};

}  // namespace orvex::sim
