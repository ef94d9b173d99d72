#include "core/logtextfile.h"
#include "support/filefaults.h"
#include "support/modalcatcher.h"
#include "support/namedchild.h"
#include "window/logpane.h"
#include "window/widget.h"

#include <QDir>
#include <QFileDialog>
#include <QFontMetrics>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextCodec>
#include <QTextDocument>
#include <QTextEdit>

#include <algorithm>
#include <memory>

using namespace rangefinder;

// Saving the log pane through the real window: the dialog it asks, the bytes it writes and the
// boxes it shows, with the message boxes and the file dialog answered by a ModalCatcher.
class tst_LogSaving : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void savesPaneText_data();
    void savesPaneText();
    void linesArrivingWhileDialogOpen();
    void savesLinesThePaneHandedOn_data();
    void savesLinesThePaneHandedOn();
    void nameUsedAsTyped_data();
    void nameUsedAsTyped();
    void secondSaveReplaces();
    void dialog();
    void cancel();
    void failure_data();
    void failure();
    void writesInPlaceWhereNoTemporaryFileFits();
    void savesInTheLocalesEncoding();

private:
    QTextEdit *pane() const { return window->findChild<QTextEdit *>(QStringLiteral("textEdit")); }
    void clickSave()
    {
        QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("saveFileBtn")),
                          Qt::LeftButton);
    }
    QString path(const QString &name) const { return dir->filePath(name); }
    QStringList boxTitles() const
    {
        QStringList titles;
        for (const auto &box : catcher->boxes())
            titles << box.title;
        return titles;
    }

    std::unique_ptr<SaveFolder> dir;
    std::unique_ptr<Widget> window;
    std::unique_ptr<ModalCatcher> catcher;
    QString workingDirectory;
};

namespace {
const QString overwriteTitle = QStringLiteral("Save File"); // the dialog asks under its caption
const QString errorTitle = QStringLiteral("Error Messaage");
const QByteArray oldContent = QByteArray("the earlier log, to be kept on failure\n").repeated(20);

const QString line1 = QStringLiteral("发送时间 : 09:15:01.998");
const QString line2 = QStringLiteral("接收时间 : 09:15:02.047 测量值:17.8米");
const QString line3 = QStringLiteral("接收时间 : 09:15:03.047 测量值:测量失败");
} // namespace

void tst_LogSaving::init()
{
    workingDirectory = QDir::currentPath();
    dir = std::make_unique<SaveFolder>();
    QVERIFY(dir->isValid());
    window = std::make_unique<Widget>();
    catcher = std::make_unique<ModalCatcher>();
}

void tst_LogSaving::cleanup()
{
    catcher.reset();
    window.reset();
    QDir::setCurrent(workingDirectory);
    dir.reset();
}

void tst_LogSaving::savesPaneText_data()
{
    QTest::addColumn<QStringList>("appended");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("existing");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty pane") << QStringList() << QString() << false << QString();
    QTest::newRow("empty pane over a file") << QStringList() << QString() << true << QString();
    QTest::newRow("one line") << QStringList{line2} << QString() << false << line2;
    QTest::newRow("log lines over a file")
        << QStringList{line1, line2, line1, line3} << QString() << true
        << line1 + '\n' + line2 + '\n' + line1 + '\n' + line3;
    QTest::newRow("trailing empty paragraph")
        << QStringList{line2, QString()} << QString() << false << line2 + '\n';
    QTest::newRow("empty paragraphs between") << QStringList{line1, QString(), QString(), line2}
                                              << QString() << false << line1 + "\n\n\n" + line2;
    // Wrapped on screen, one line in the file.
    const QString longLine = QStringLiteral("测量值:17.8米 ").repeated(200);
    QTest::newRow("long line") << QStringList{longLine} << QString() << false << longLine;
    QTest::newRow("typed after the log")
        << QStringList{line1, line2} << QStringLiteral("  checked, target B") << false
        << line1 + '\n' + line2 + QStringLiteral("  checked, target B");
    QTest::newRow("typed into an empty pane, own line feeds")
        << QStringList() << QStringLiteral("a\nb\n") << false << QStringLiteral("a\nb\n");
}

void tst_LogSaving::savesPaneText()
{
    QFETCH(QStringList, appended);
    QFETCH(QString, typed);
    QFETCH(bool, existing);
    QFETCH(QString, expected);

    for (const QString &paragraph : appended)
        pane()->append(paragraph);
    for (const QChar c : typed) {
        if (c == '\n')
            QTest::keyClick(pane(), Qt::Key_Return);
        else
            QTest::keyClick(pane(), c.toLatin1());
    }
    QCOMPARE(pane()->toPlainText(), expected);

    const QString target = path(QStringLiteral("log.txt"));
    if (existing)
        QVERIFY(writeBytes(target, oldContent));
    catcher->setFileAnswer(target);
    clickSave();

    QCOMPARE(catcher->fileDialogs().size(), 1);
    QCOMPARE(boxTitles(), existing ? QStringList{overwriteTitle} : QStringList());
    QCOMPARE(readBytes(target), expected.toUtf8());
    QCOMPARE(entriesBelow(dir->path()), QStringList{QStringLiteral("log.txt")});
    QCOMPARE(pane()->toPlainText(), expected);
}

void tst_LogSaving::linesArrivingWhileDialogOpen()
{
    pane()->append(line1);
    catcher->setWhileFileDialogOpen([this] {
        pane()->append(line2);
        pane()->append(line3);
    });
    const QString target = path(QStringLiteral("log.txt"));
    catcher->setFileAnswer(target);
    clickSave();

    QCOMPARE(catcher->fileDialogs().size(), 1);
    QCOMPARE(readBytes(target), (line1 + '\n' + line2 + '\n' + line3).toUtf8());
    QVERIFY(catcher->boxes().isEmpty());
}

void tst_LogSaving::savesLinesThePaneHandedOn_data()
{
    QTest::addColumn<int>("commands");
    QTest::addColumn<int>("clearAfter"); // -1: never cleared

    QTest::newRow("pane never full") << 3 << -1;
    QTest::newRow("pane full once") << 8 << -1;
    QTest::newRow("pane full many times") << 60 << -1;
    QTest::newRow("cleared after it was full") << 60 << 50;
}

void tst_LogSaving::savesLinesThePaneHandedOn()
{
    QFETCH(int, commands);
    QFETCH(int, clearAfter);

    // Each command without an open port logs two lines: its send time and the failure.
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const QFontMetrics metrics(pane()->font());
    auto *log = namedChild<LogPane>(window.get(), "logPane");
    log->setLimits(10.5 * metrics.height(), 4);
    auto *send = window->findChild<QPushButton *>(QStringLiteral("oneSendBtn"));
    for (int i = 0; i < commands; ++i) {
        if (i == clearAfter)
            QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("clearBtn")),
                              Qt::LeftButton);
        QTest::mouseClick(send, Qt::LeftButton);
    }
    const QString shown = pane()->toPlainText();
    const int expectedLines = 2 * (commands - std::max(0, clearAfter));
    if (expectedLines > 10)
        QVERIFY(pane()->document()->blockCount() < expectedLines);

    const QString target = path(QStringLiteral("log.txt"));
    catcher->setFileAnswer(target);
    clickSave();

    const QString saved = QString::fromUtf8(readBytes(target));
    QVERIFY(saved.endsWith(shown));
    const QStringList lines = saved.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), expectedLines);
    QString previousTime;
    for (int i = 0; i < lines.size(); i += 2) {
        QVERIFY2(lines.at(i).startsWith(QStringLiteral("发送时间 : ")), qPrintable(lines.at(i)));
        QCOMPARE(lines.at(i + 1), QStringLiteral("发送失败：串口未打开"));
        // In the order they were logged.
        QVERIFY(lines.at(i) >= previousTime);
        previousTime = lines.at(i);
    }
}

void tst_LogSaving::nameUsedAsTyped_data()
{
    QTest::addColumn<QString>("name");

    QTest::newRow("no extension") << QStringLiteral("messung");
    QTest::newRow("other extension") << QStringLiteral("messung.csv");
    QTest::newRow("Chinese name") << QStringLiteral("测量记录");
}

void tst_LogSaving::nameUsedAsTyped()
{
    QFETCH(QString, name);

    pane()->append(line2);
    catcher->setFileAnswer(path(name));
    clickSave();

    QCOMPARE(entriesBelow(dir->path()), QStringList{name});
    QCOMPARE(readBytes(path(name)), line2.toUtf8());
    QVERIFY(catcher->boxes().isEmpty());
}

void tst_LogSaving::secondSaveReplaces()
{
    const QString target = path(QStringLiteral("log.txt"));
    catcher->setFileAnswer(target);
    pane()->append(line1);
    pane()->append(line2);
    clickSave();
    QCOMPARE(readBytes(target), (line1 + '\n' + line2).toUtf8());
    QVERIFY(catcher->boxes().isEmpty());

    pane()->clear();
    pane()->append(line3);
    clickSave();
    QCOMPARE(readBytes(target), line3.toUtf8());
    QCOMPARE(entriesBelow(dir->path()), QStringList{QStringLiteral("log.txt")});

    // The dialog's own confirmation came before the replacement (and was answered Yes).
    QCOMPARE(catcher->boxes().size(), 1);
    const ModalCatcher::Box confirmation = catcher->boxes().at(0);
    QCOMPARE(confirmation.title, overwriteTitle);
    QVERIFY2(confirmation.text.contains(QStringLiteral("log.txt")), qPrintable(confirmation.text));
    QCOMPARE(confirmation.buttons, QMessageBox::Yes | QMessageBox::No);
}

void tst_LogSaving::dialog()
{
    // The starting directory is the working directory at the click, not at start-up.
    const QString first = path(QStringLiteral("first"));
    const QString second = path(QStringLiteral("second"));
    QVERIFY(QDir().mkpath(first));
    QVERIFY(QDir().mkpath(second));

    QVERIFY(QDir::setCurrent(first));
    clickSave();
    QVERIFY(QDir::setCurrent(second));
    clickSave();

    QCOMPARE(catcher->fileDialogs().size(), 2);
    const QStringList unfiltered = QFileDialog().nameFilters();
    const QStringList directories{first, second};
    for (int i = 0; i < 2; ++i) {
        const ModalCatcher::FileDialog seen = catcher->fileDialogs().at(i);
        QCOMPARE(seen.title, QStringLiteral("Save File"));
        QCOMPARE(seen.directory, directories.at(i));
        QCOMPARE(seen.parent, window.get());
        // No filter: the dialog's default, which lists every file and adds no suffix.
        QCOMPARE(seen.nameFilters, unfiltered);
        QCOMPARE(seen.options, 0);
    }
}

void tst_LogSaving::cancel()
{
    pane()->append(line2);
    QVERIFY(QDir::setCurrent(dir->path()));
    catcher->setFileAnswer(QString());
    clickSave();

    QCOMPARE(catcher->fileDialogs().size(), 1);
    QCOMPARE(catcher->boxes().size(), 1);
    const ModalCatcher::Box box = catcher->boxes().at(0);
    QCOMPARE(box.title, QStringLiteral("Error Message"));
    QCOMPARE(box.text, QStringLiteral("Plesase Select a Text File"));
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent, window.get());
    QVERIFY(entriesBelow(dir->path()).isEmpty());
}

void tst_LogSaving::failure_data()
{
    QTest::addColumn<QString>("kind");

    QTest::newRow("missing directory") << "missing directory";
    QTest::newRow("path under a regular file") << "under file";
    QTest::newRow("full device") << "full device";
    QTest::newRow("read-only file in read-only directory") << "read-only";
}

void tst_LogSaving::failure()
{
    QFETCH(QString, kind);

    pane()->append(line1);
    pane()->append(line2);
    const QString kept = path(QStringLiteral("log.txt"));
    QVERIFY(writeBytes(kept, oldContent));

    QString target;
    bool existing = false; // the dialog confirms replacing an existing name first
    if (kind == QLatin1String("missing directory")) {
        target = path(QStringLiteral("missing/log.txt"));
    } else if (kind == QLatin1String("under file")) {
        target = path(QStringLiteral("log.txt/inner.txt"));
    } else if (kind == QLatin1String("full device")) {
        target = makeFullDevice(dir->path());
        QVERIFY(isCharacterDevice(target));
        existing = true;
    } else if (kind == QLatin1String("read-only")) {
        target =
            lockedFile(dir->path(), oldContent, QFileDevice::ReadOwner | QFileDevice::ReadOther);
        QVERIFY(!target.isEmpty());
        existing = true;
    }
    const QStringList entries = entriesBelow(dir->path());

    catcher->setFileAnswer(target);
    QString reason;
    {
        AsUnprivilegedUser unprivileged;
        clickSave();
        // The same failure again, for the reason it gives.
        QVERIFY(!saveLogText(target, line1, &reason));
    }

    QCOMPARE(catcher->fileDialogs().size(), 1);
    QCOMPARE(boxTitles(),
             existing ? QStringList({overwriteTitle, errorTitle}) : QStringList{errorTitle});
    const ModalCatcher::Box box = catcher->boxes().last();
    QVERIFY(!reason.isEmpty());
    QCOMPARE(box.text, QStringLiteral("File Save Error") + reason);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent, window.get());

    QCOMPARE(readBytes(kept), oldContent);
    if (kind == QLatin1String("read-only"))
        QCOMPARE(readBytes(target), oldContent);
    if (kind == QLatin1String("full device"))
        QVERIFY2(isCharacterDevice(target), "the device was replaced by a file");
    QCOMPARE(entriesBelow(dir->path()), entries);
}

void tst_LogSaving::writesInPlaceWhereNoTemporaryFileFits()
{
    const QString target = lockedFile(dir->path(), oldContent,
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ReadOther | QFileDevice::WriteOther);
    QVERIFY(!target.isEmpty());

    pane()->append(line1);
    pane()->append(line2);
    catcher->setFileAnswer(target);
    {
        AsUnprivilegedUser unprivileged;
        clickSave();
    }
    QCOMPARE(boxTitles(), QStringList{overwriteTitle});
    QCOMPARE(readBytes(target), (line1 + '\n' + line2).toUtf8());
}

// Which encoding each text gets is the save function's table; here only that the window's save
// goes through it: a Latin-1 locale gets Latin-1 bytes, not the pane's UTF-8.
void tst_LogSaving::savesInTheLocalesEncoding()
{
    const QString western = QStringLiteral("Weite: 17,8 m ± 0,1 m (Größe °)");
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    pane()->append(western);
    const QString target = path(QStringLiteral("log.txt"));
    catcher->setFileAnswer(target);
    clickSave();
    QVERIFY(catcher->boxes().isEmpty());
    QCOMPARE(readBytes(target), western.toLatin1());
}

QTEST_MAIN(tst_LogSaving)
#include "tst_logsaving.moc"
