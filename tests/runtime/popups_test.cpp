// Pop-ups, driven as the operator drives them: the file selection (firmware
// files in any letter case, accept, cancel, a path too long for the caller)
// and the message pop-up.
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

#include "panel_test_support.h"
#include "runtime.h"

using namespace runtime;

namespace {

QPushButton* ButtonLabelled(QWidget* dialog, const QString& text) {
    for (QPushButton* button : dialog->findChildren<QPushButton*>())
        if (button->text().remove(u'&') == text) return button;
    return nullptr;
}

// The names the dialog lists in its current directory, as the operator sees them.
QStringList ListedNames(QWidget* dialog) {
    auto* view = dialog->findChild<QListView*>(QStringLiteral("listView"));
    if (view == nullptr || view->model() == nullptr) return {};
    QStringList names;
    const QModelIndex root = view->rootIndex();
    for (int row = 0; row < view->model()->rowCount(root); ++row) {
        const QModelIndex index = view->model()->index(row, 0, root);
        if (view->model()->flags(index) & Qt::ItemIsEnabled) names << index.data().toString();
    }
    names.sort();
    return names;
}

int Select(char* path, std::size_t size) {
    return FileSelectPopupText("", "*.HEX", "*.HEX", "Orvex Firmware Upgrade - 1.10",
                               VAL_SELECT_BUTTON, 0, 0, 1, 0, path, size);
}

}  // namespace

class PopupsTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString previousDirectory_;

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        for (const char* name : {"UNIT.HEX", "lower.hex", "Mixed.Hex", "notes.txt"}) {
            QFile file(dir_.filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(":00000001FF\r\n");
        }
        // The program passes no directory: the pop-up starts in the current one.
        previousDirectory_ = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir_.path()));
    }

    void cleanupTestCase() { QDir::setCurrent(previousDirectory_); }

    void selectsAFirmwareFile() {
        QString title;
        QString directory;
        QStringList listed;
        support::DriveModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (dialog == nullptr || dialog->objectName() != "FileSelectPopup") return false;
            listed = ListedNames(dialog);
            if (listed.size() < 3) return false;  // the listing fills in the background
            title = dialog->windowTitle();
            directory = dialog->directory().absolutePath();
            auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QPushButton* select = ButtonLabelled(dialog, QStringLiteral("Select"));
            if (name == nullptr || select == nullptr) return false;
            QTest::keyClicks(name, QStringLiteral("lower.hex"));
            QTest::mouseClick(select, Qt::LeftButton);
            return true;
        });
        char path[260] = "unchanged";
        QCOMPARE(Select(path, sizeof path), VAL_EXISTING_FILE_SELECTED);
        QCOMPARE(title, QStringLiteral("Orvex Firmware Upgrade - 1.10"));
        QCOMPARE(directory, QDir(dir_.path()).absolutePath());
        QCOMPARE(listed, (QStringList{"Mixed.Hex", "UNIT.HEX", "lower.hex"}));
        QCOMPARE(QString::fromUtf8(path), QDir(dir_.path()).absoluteFilePath("lower.hex"));
    }

    void cancelLeavesThePathAlone() {
        support::DriveModal([](QWidget* modal) {
            QPushButton* cancel = ButtonLabelled(modal, QStringLiteral("Cancel"));
            if (cancel == nullptr) return false;
            QTest::mouseClick(cancel, Qt::LeftButton);
            return true;
        });
        char path[260] = "unchanged";
        QCOMPARE(Select(path, sizeof path), VAL_NO_FILE_SELECTED);
        QCOMPARE(QByteArray(path), QByteArray("unchanged"));
    }

    // A cut path would name another file: the caller gets an error and its
    // buffer as it was.
    void pathTooLongForTheCaller() {
        support::DriveModal([](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            QPushButton* select = ButtonLabelled(modal, QStringLiteral("Select"));
            if (dialog == nullptr || select == nullptr) return false;
            dialog->selectFile(QStringLiteral("UNIT.HEX"));
            QTest::mouseClick(select, Qt::LeftButton);
            return true;
        });
        char path[8] = "keep";
        QVERIFY(Select(path, sizeof path) < 0);
        QCOMPARE(QByteArray(path), QByteArray("keep"));
    }

    void messagePopup() {
        QString title;
        QString text;
        QString name;
        support::DriveModal([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (box == nullptr) return false;
            title = box->windowTitle();
            text = box->text();
            name = box->objectName();
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
            return true;
        });
        QCOMPARE(MessagePopup("File Error", "File Handle Error!"), 0);
        QCOMPARE(name, QStringLiteral("MessagePopup"));
        QCOMPARE(title, QStringLiteral("File Error"));
        QCOMPARE(text, QStringLiteral("File Handle Error!"));
    }
};

QTEST_MAIN(PopupsTest)
#include "popups_test.moc"
