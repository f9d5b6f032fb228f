#include "records.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
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

// True for an empty file too: there is no line to end.
bool EndsWithLineEnd(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || status.st_size == 0) return true;
    char last = '\n';
    // Unreadable (opened for writing only): nothing can be known, nothing is added.
    return ::pread(fd, &last, 1, status.st_size - 1) != 1 || last == '\n';
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
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, kRecordFileMode);
    // A file this user may only write to still takes the record.
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return path + ": " + std::strerror(errno);
    std::string whole;
    // A line cut short before (a disk that filled up) is ended first, or this
    // record would be glued to it and lost with it.
    if (!EndsWithLineEnd(fd)) whole += '\n';
    whole += line;
    whole += '\n';
    // One write per line: O_APPEND makes each write land whole at the end.
    const ssize_t written = ::write(fd, whole.data(), whole.size());
    const int write_errno = errno;
    ::close(fd);
    if (written < 0) return path + ": " + std::strerror(write_errno);
    if (static_cast<std::size_t>(written) != whole.size()) return path + ": the line was cut short";
    return {};
}

JsonLines ReadJsonLines(const std::string& path) {
    JsonLines result;
    QFile file(toQString(path));
    result.found = file.exists();
    if (!result.found) return result;
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = path + ": " + file.errorString().toStdString();
        return result;
    }
    for (int number = 1; !file.atEnd(); ++number) {
        QByteArray text = file.readLine();
        if (text.endsWith('\n')) text.chop(1);
        if (text.endsWith('\r')) text.chop(1);
        // Two writers that both ended a cut line leave an empty one: no run.
        if (text.trimmed().isEmpty()) continue;
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(text, &error);
        if (error.error != QJsonParseError::NoError) {
            result.bad.push_back({number, "not JSON (" + error.errorString().toStdString() + ")"});
            continue;
        }
        if (!document.isObject()) {
            result.bad.push_back({number, "not a JSON object"});
            continue;
        }
        JsonLine line{number, text.toStdString(), {}};
        const QJsonObject object = document.object();
        for (auto member = object.begin(); member != object.end(); ++member) {
            const QJsonValue value = member.value();
            const std::string name = member.key().toStdString();
            if (value.isString()) {
                line.fields.push_back({name, value.toString().toStdString()});
            } else if (value.isDouble()) {
                const double number_value = value.toDouble();
                const qint64 whole = value.toInteger(-1);
                if (static_cast<double>(whole) == number_value)
                    line.fields.push_back({name, static_cast<long long>(whole)});
                else
                    line.fields.push_back({name, number_value});
            }
        }
        result.lines.push_back(std::move(line));
    }
    if (file.error() != QFileDevice::NoError) result.error = path + ": " + file.errorString().toStdString();
    return result;
}

std::optional<Moment> ReadMoment(const std::string& iso_utc) {
    const QDateTime time = QDateTime::fromString(toQString(iso_utc), Qt::ISODateWithMs);
    if (!time.isValid()) return std::nullopt;
    return Moment{time.toMSecsSinceEpoch(),
                  time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString()};
}

}  // namespace records
