#include "snapshot_writer.h"

#include "intel_hex.h"
#include "unit_core.h"

#include <QJsonDocument>
#include <QSaveFile>

#include <cstdio>

namespace orvex::sim {

SnapshotWriter::SnapshotWriter(const UnitCore& core, QString recordPath, QString flashPath)
    : core_(core), recordPath_(std::move(recordPath)), flashPath_(std::move(flashPath)) {
    settle_.setSingleShot(true);
    settle_.setInterval(kRecordSettle);
    QObject::connect(&settle_, &QTimer::timeout, this, [this] { writeRecord(); });
}

void SnapshotWriter::journalChanged() {
    if (!recordPath_.isEmpty() && !settle_.isActive()) settle_.start();
}

void SnapshotWriter::writeAll() {
    settle_.stop();
    writeRecord();
    if (flashPath_.isEmpty()) return;
    const std::string image = encodeHex(core_.flash());
    if (const auto error =
            replaceFile(flashPath_, QByteArray(image.data(), static_cast<qsizetype>(image.size())))) {
        std::fprintf(stderr, "orvex-unit-sim: %s\n", error->c_str());
    }
}

void SnapshotWriter::writeRecord() {
    if (recordPath_.isEmpty()) return;
    const QByteArray json = QJsonDocument(core_.journal().toJson()).toJson(QJsonDocument::Indented);
    if (const auto error = replaceFile(recordPath_, json))
        std::fprintf(stderr, "orvex-unit-sim: %s\n", error->c_str());
}

std::optional<std::string> SnapshotWriter::replaceFile(const QString& path, const QByteArray& content) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        return "cannot write " + path.toStdString() + ": " + file.errorString().toStdString();
    }
    return std::nullopt;
}

}  // namespace orvex::sim
