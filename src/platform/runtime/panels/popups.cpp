// Pop-ups: choosing a file, and a message the operator acknowledges.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>

#include <array>
#include <cstring>

#include "runtime.h"

namespace runtime {
namespace {

// Confirm-button labels by code (VAL_OK_BUTTON ... VAL_LOAD_BUTTON).
constexpr std::array<const char*, 5> kConfirmLabels{"", "OK", "Select", "Save", "Load"};

QString Text(const char* text) { return QString::fromUtf8(text != nullptr ? text : ""); }

// "*.HEX;*.H86" → "*.HEX *.H86", the form of a Qt name filter.
QString NameFilter(const QString& fileTypeList) {
    QStringList patterns = fileTypeList.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString& pattern : patterns) pattern = pattern.trimmed();
    patterns.removeAll(QString());
    return patterns.isEmpty() ? QStringLiteral("*") : patterns.join(QLatin1Char(' '));
}

bool IsPattern(const QString& name) {
    return name.contains(QLatin1Char('*')) || name.contains(QLatin1Char('?'));
}

}  // namespace

int FileSelectPopupText(const char* defaultDirectory, const char* defaultFileSpec, const char* fileTypeList,
                        const char* title, int buttonLabel, int /*restrictDirectory*/,
                        int /*restrictExtension*/, int /*allowCancel*/, int allowMakeDirectory,
                        char* pathName, std::size_t size) {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return kErrNoApplication;
    if (pathName == nullptr || size == 0) return kErrBufferTooSmall;

    QFileDialog dialog(QApplication::activeWindow(), Text(title));
    dialog.setObjectName(QStringLiteral("FileSelectPopup"));
    // The same dialog on every desktop, and one that tests can drive.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::ReadOnly, allowMakeDirectory == 0);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    const QString directory = Text(defaultDirectory);
    dialog.setDirectory(directory.isEmpty() ? QDir::currentPath() : directory);

    // Firmware files come as "X.HEX", "x.hex" or "x.Hex": the type matches any case.
    const QString typeFilter = NameFilter(Text(fileTypeList));
    const QString defaultName = Text(defaultFileSpec);
    QStringList filters{typeFilter};
    if (IsPattern(defaultName) && defaultName != typeFilter) filters.append(defaultName);
    filters.append(QStringLiteral("All files (*)"));
    dialog.setNameFilters(filters);
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
    if (!defaultName.isEmpty() && !IsPattern(defaultName)) dialog.selectFile(defaultName);

    if (buttonLabel >= VAL_OK_BUTTON && buttonLabel <= VAL_LOAD_BUTTON)
        dialog.setLabelText(QFileDialog::Accept,
                            QString::fromLatin1(kConfirmLabels[std::size_t(buttonLabel)]));

    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return VAL_NO_FILE_SELECTED;
    const QByteArray path = QFile::encodeName(QDir::toNativeSeparators(dialog.selectedFiles().first()));
    // A cut path would name another file: refuse it and leave the buffer alone.
    if (static_cast<std::size_t>(path.size()) >= size) return kErrBufferTooSmall;
    std::memcpy(pathName, path.constData(), static_cast<std::size_t>(path.size()));
    pathName[path.size()] = '\0';
    return VAL_EXISTING_FILE_SELECTED;
}

int MessagePopup(const char* title, const char* message) {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return kErrNoApplication;
    QMessageBox box(QMessageBox::Information, Text(title), Text(message), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setObjectName(QStringLiteral("MessagePopup"));
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return 0;
}

}  // namespace runtime
