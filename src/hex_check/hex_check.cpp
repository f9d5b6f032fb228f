#include "hex_check.h"

#include "hex_record.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace orvex::hex {
namespace {

// The uploader streams a file in pieces of at most this many bytes, one
// line with its line end each; the unit takes a line only when it arrives
// whole, so a longer line would reach it cut in two.
constexpr std::size_t kPieceBytes = 63;
constexpr std::size_t kReadChunkBytes = 4096;
constexpr std::size_t kWhatBytes = 160;
constexpr std::string_view kEndOfFileRecord = ":00000001FF";

const char* baseName(const char* path) {
    if (path == nullptr) return "";
    const char* slash = std::strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

int clampedLine(long long line) { return line > INT_MAX ? INT_MAX : static_cast<int>(line); }

// The file's rule, fed in chunks of any size: memory stays one piece long.
class FileRule {
public:
    explicit FileRule(const char* name) : name_(baseName(name)) {}

    bool refused() const { return refused_; }

    void feed(std::string_view bytes) {
        for (const char c : bytes) {
            if (refused_) return;
            take(c);
        }
    }

    CheckResult finish() {
        if (!refused_ && (overlong_ || used_ > 0)) endLine(false);
        if (refused_) return result_;
        if (total_ == 0) {
            refuseFile("is empty", "empty file");
        } else if (dataRecords_ == 0) {
            refuseFile("holds no data record: there is nothing to program", "no data record");
        } else if (endLine_ == 0) {
            char what[kWhatBytes];
            std::snprintf(what, sizeof what, "has no end-of-file record (%.*s): it may be cut short",
                          static_cast<int>(kEndOfFileRecord.size()), kEndOfFileRecord.data());
            refuseFile(what, "no end-of-file record");
        }
        return result_;
    }

    CheckResult tooLarge(std::size_t limit) {
        char what[kWhatBytes];
        std::snprintf(what, sizeof what, "is larger than %zu MiB: no firmware of this family is",
                      limit / (1024 * 1024));
        refuseFile(what, "file too large");
        return result_;
    }

    CheckResult readFailed(std::size_t readBytes, int error) {
        char what[kWhatBytes];
        std::snprintf(what, sizeof what, "cannot be read to its end (stopped after %zu bytes: %s)", readBytes,
                      std::strerror(error));
        refuseFile(what, "read error");
        return result_;
    }

private:
    void take(char c) {
        ++total_;
        ++lineBytes_;
        if (c == '\0') {
            refuseAt(clampedLine(static_cast<long long>(lineBytes_)), "a NUL byte: a HEX file is text");
            return;
        }
        if (lineBytes_ == 1) lineStart_ = c;
        if (lineBytes_ > kPieceBytes) {
            overlong_ = true;
            if (startsPiece() && takenForLine(c)) {
                refusePiece(c);
                return;
            }
            if (c == '\n') endLine(true);
            return;
        }
        line_[used_++] = c;
        if (c == '\n') endLine(true);
    }

    // A record or a code test must reach the unit in one piece; so must every
    // piece that the unit would take for one.
    static bool takenForLine(char c) { return c == kRecordMark || c == 'T' || c == 't'; }

    // Whether the byte just taken begins a piece of a long line.
    bool startsPiece() const { return (lineBytes_ - 1) % kPieceBytes == 0; }

    void refusePiece(char c) {
        char what[kWhatBytes];
        std::snprintf(
            what, sizeof what,
            "the line is longer than %zu bytes, and its piece that begins here with \"%c\" would be "
            "taken for a %s",
            kPieceBytes, c, c == kRecordMark ? "record" : "code test");
        refuseAt(clampedLine(static_cast<long long>(lineBytes_)), what);
    }

    void endLine(bool terminated) {
        if (overlong_ && takenForLine(lineStart_)) {
            char what[kWhatBytes];
            std::snprintf(what, sizeof what,
                          "the line is %llu bytes long%s; one piece sent to the unit holds %zu",
                          static_cast<unsigned long long>(lineBytes_), terminated ? " with its line end" : "",
                          kPieceBytes);
            refuseAt(static_cast<int>(kPieceBytes) + 1, what);
            return;
        }
        std::string_view text(line_, used_);
        if (terminated) text.remove_suffix(1);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        if (!overlong_ && !text.empty() && text.front() == kRecordMark) {
            if (!checkRecord(text)) return;
        }
        if (!terminated) {
            // The uploader's next command would be read as the rest of this line.
            refuseAt(clampedLine(static_cast<long long>(lineBytes_)) + 1, "the last line has no line end");
            return;
        }
        ++lineNumber_;
        used_ = 0;
        lineBytes_ = 0;
        overlong_ = false;
    }

    bool checkRecord(std::string_view text) {
        if (endLine_ != 0) {
            char what[kWhatBytes];
            std::snprintf(what, sizeof what, "a record after the end-of-file record of line %lld", endLine_);
            refuseAt(1, what);
            return false;
        }
        Record record;
        if (const RecordProblem problem = parse_record(text, record)) {
            char what[kWhatBytes];
            describe(problem, what, sizeof what);
            refuseAt(problem.column, what);
            return false;
        }
        if (record.kind == RecordKind::data && record.count > 0) ++dataRecords_;
        if (record.kind == RecordKind::endOfFile) endLine_ = lineNumber_;
        return true;
    }

    void refuseAt(int column, const char* what) {
        refused_ = true;
        result_.verdict = Verdict::Refused;
        result_.line = clampedLine(lineNumber_);
        result_.column = column;
        std::snprintf(result_.detail, sizeof result_.detail, "%s line %lld, column %d: %s", name_,
                      lineNumber_, column, what);
        std::snprintf(result_.summary, sizeof result_.summary, "HEX File Refused: line %lld", lineNumber_);
    }

    void refuseFile(const char* what, const char* reason) {
        refused_ = true;
        result_.verdict = Verdict::Refused;
        std::snprintf(result_.detail, sizeof result_.detail, "%s %s", name_, what);
        std::snprintf(result_.summary, sizeof result_.summary, "HEX File Refused: %s", reason);
    }

    const char* name_;
    CheckResult result_;
    bool refused_ = false;
    char line_[kPieceBytes] = {};
    std::size_t used_ = 0;
    unsigned long long lineBytes_ = 0;  // of the current line, its line end included
    bool overlong_ = false;             // longer than one piece: sent in several
    char lineStart_ = '\0';
    long long lineNumber_ = 1;
    unsigned long long total_ = 0;
    long long dataRecords_ = 0;
    long long endLine_ = 0;  // the end-of-file record's line, 0 before it
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

CheckResult cannotOpen(const char* path, int error) {
    CheckResult result;
    result.verdict = Verdict::CannotOpen;
    std::snprintf(result.detail, sizeof result.detail, "%s cannot be opened: %s", baseName(path),
                  std::strerror(error));
    std::snprintf(result.summary, sizeof result.summary, "HEX File Cannot Be Opened");
    return result;
}

}  // namespace

CheckResult check_text(const char* name, const char* data, std::size_t size) {
    FileRule rule(name);
    if (data != nullptr) rule.feed(std::string_view(data, size));
    return rule.finish();
}

CheckResult load_file(const char* path, std::vector<char>& bytes) {
    bytes.clear();
    const std::unique_ptr<std::FILE, FileCloser> file(path == nullptr ? nullptr : std::fopen(path, "rb"));
    if (!file) return cannotOpen(path, path == nullptr ? ENOENT : errno);
    char chunk[kReadChunkBytes];
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
        const int error = errno;
        if (bytes.size() + got > kMaxFileBytes) {
            bytes.clear();
            return FileRule(path).tooLarge(kMaxFileBytes);
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got < sizeof chunk) {
            if (std::ferror(file.get())) {
                const std::size_t read = bytes.size();
                bytes.clear();
                return FileRule(path).readFailed(read, error);
            }
            break;
        }
    }
    CheckResult result = check_text(path, bytes.data(), bytes.size());
    result.wholeFileRead = true;
    return result;
}

}  // namespace orvex::hex
