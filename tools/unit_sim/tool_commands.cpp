#include "tool_commands.h"

#include "hex_generator.h"
#include "intel_hex.h"

#include <QFile>
#include <QSaveFile>

#include <charconv>
#include <cstdio>
#include <optional>

namespace orvex::sim {
namespace {

// A firmware file far larger than any unit's flash is a mistake.
constexpr qint64 kMaxHexFileBytes = 256 * 1024 * 1024;
constexpr int kMaxGeneratedRecords = 4'000'000;

std::optional<std::string> readFile(const std::string& path, std::string& error) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        error = "cannot open " + path + ": " + file.errorString().toStdString();
        return std::nullopt;
    }
    if (file.size() > kMaxHexFileBytes) {
        error = path + " is larger than " + std::to_string(kMaxHexFileBytes) + " bytes";
        return std::nullopt;
    }
    const QByteArray content = file.readAll();
    return std::string(content.constData(), static_cast<std::size_t>(content.size()));
}

template <typename Number>
std::optional<Number> parseNumber(std::string_view text, int base = 10) {
    if (base == 16 && (text.starts_with("0x") || text.starts_with("0X"))) text.remove_prefix(2);
    Number value{};
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (status != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

VerifyOutcome verifyImage(std::string_view flashText, std::string_view hexText) {
    const DecodedHex flash = decodeHexText(flashText);
    if (!flash.error.empty()) return {kExitUsage, "flash image: " + flash.error};
    const DecodedHex hex = decodeHexText(hexText);
    if (!hex.error.empty()) return {kExitUsage, "HEX file: " + hex.error};
    const auto difference = flash.image.firstDifference(hex.image);
    const std::string sizes = "flash " + std::to_string(flash.image.programmedBytes()) + " bytes, HEX file " +
                              std::to_string(hex.image.programmedBytes()) + " bytes";
    if (difference) {
        char address[16];
        std::snprintf(address, sizeof address, "0x%08X", static_cast<unsigned>(difference->address));
        return {kExitMismatch, std::string("mismatch at ") + address + ": flash " + difference->description +
                                   " (" + sizes + ")"};
    }
    return {kExitMatch, "match: " + std::to_string(hex.image.programmedBytes()) + " bytes"};
}

int runVerify(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: orvex-unit-sim verify FLASH HEX\n");
        return kExitUsage;
    }
    std::string error;
    const auto flash = readFile(args[0], error);
    const auto hex = flash ? readFile(args[1], error) : std::nullopt;
    if (!flash || !hex) {
        std::fprintf(stderr, "verify: %s\n", error.c_str());
        return kExitUsage;
    }
    const VerifyOutcome outcome = verifyImage(*flash, *hex);
    std::fprintf(outcome.exitCode == kExitMatch ? stdout : stderr, "verify: %s\n", outcome.message.c_str());
    return outcome.exitCode;
}

int runMakeHex(const std::vector<std::string>& args) {
    HexShape shape;
    std::string out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (i + 1 >= args.size()) {
            std::fprintf(stderr, "make-hex: %s needs a value\n", name.c_str());
            return kExitUsage;
        }
        const std::string& value = args[++i];
        bool ok = true;
        if (name == "--records") {
            const auto n = parseNumber<int>(value);
            ok = n && *n >= 0 && *n <= kMaxGeneratedRecords;
            if (ok) shape.records = *n;
        } else if (name == "--data-bytes" || name == "--line-length") {
            const auto n = parseNumber<int>(value);
            ok = n && *n >= 1 && *n <= 255;
            if (ok) shape.dataBytes = *n;
        } else if (name == "--base") {
            const auto n = parseNumber<std::uint32_t>(value, 16);
            ok = n.has_value();
            if (ok) shape.base = *n;
        } else if (name == "--line-end") {
            ok = value == "crlf" || value == "lf";
            shape.crlf = value == "crlf";
        } else if (name == "--test-lines") {
            const auto n = parseNumber<int>(value);
            ok = n && *n >= 0 && *n <= 1'000'000;
            if (ok) shape.testLines = *n;
        } else if (name == "--seed") {
            const auto n = parseNumber<std::uint32_t>(value);
            ok = n.has_value();
            if (ok) shape.seed = *n;
        } else if (name == "--out") {
            out = value;
        } else {
            std::fprintf(stderr, "make-hex: unknown option %s\n", name.c_str());
            return kExitUsage;
        }
        if (!ok) {
            std::fprintf(stderr, "make-hex: bad value \"%s\" for %s\n", value.c_str(), name.c_str());
            return kExitUsage;
        }
    }
    if (out.empty()) {
        std::fprintf(stderr, "make-hex: --out FILE is required\n");
        return kExitUsage;
    }
    const std::string text = generateHex(shape);
    QSaveFile file(QString::fromStdString(out));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
        !file.commit()) {
        std::fprintf(stderr, "make-hex: cannot write %s: %s\n", out.c_str(),
                     file.errorString().toStdString().c_str());
        return kExitUsage;
    }
    return kExitMatch;
}

}  // namespace orvex::sim
