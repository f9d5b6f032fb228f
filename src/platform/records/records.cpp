#include "records.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace records {
namespace {

constexpr char kStateHomeVariable[] = "XDG_STATE_HOME";
constexpr char kDefaultStateHome[] = ".local/state";
constexpr char kRecordFile[] = "orvex-uploader/updates.jsonl";
constexpr int kRecordFileMode = 0644;

QString toQString(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QJsonValue toJson(const JsonField& field) {
    if (const auto* text = std::get_if<std::string>(&field.value)) return toQString(*text);
    if (const auto* integer = std::get_if<long long>(&field.value)) return static_cast<qint64>(*integer);
    return std::get<double>(field.value);
}

}  // namespace

std::string JsonObjectLine(std::span<const JsonField> fields) {
    QJsonObject object;
    for (const JsonField& field : fields) object.insert(toQString(field.name), toJson(field));
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

std::string Sha256Hex(const char* data, std::size_t size) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArrayView(data, static_cast<qsizetype>(size)));
    return hash.result().toHex().toStdString();
}

std::string DefaultRecordPath() {
    QString state_home = qEnvironmentVariable(kStateHomeVariable);
    if (state_home.isEmpty()) state_home = QDir::home().filePath(kDefaultStateHome);
    return QDir(state_home).filePath(kRecordFile).toStdString();
}

std::string UtcNow() { return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString(); }

std::string AppendLine(const std::string& path, std::string_view line) {
    const QString folder = QFileInfo(toQString(path)).absolutePath();
    if (!QDir().mkpath(folder)) return "cannot create the folder " + folder.toStdString();
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kRecordFileMode);
    if (fd < 0) return path + ": " + std::strerror(errno);
    std::string whole(line);
    whole += '\n';
    // One write per line: O_APPEND makes each write land whole at the end.
    const ssize_t written = ::write(fd, whole.data(), whole.size());
    const int write_errno = errno;
    ::close(fd);
    if (written < 0) return path + ": " + std::strerror(write_errno);
    if (static_cast<std::size_t>(written) != whole.size()) return path + ": the line was cut short";
    return {};
}

}  // namespace records
