#include "core/logtextfile.h"
#include "support/filefaults.h"

#include <QTest>
#include <QTextCodec>

#include <cstring>
#include <memory>

using namespace rangefinder;

// The save function on its own: the exact bytes, the encoding, and that a failed save never
// costs the operator an existing file.
class tst_LogFile : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<SaveFolder>();
        QVERIFY(m_dir->isValid());
    }
    void cleanup() { m_dir.reset(); }

    void bytes_data();
    void bytes();
    void createsNewFile();
    void replacesWithNewFile();
    void failures_data();
    void failures();
    void writesInPlaceWhereNoTemporaryFileFits();
    void errorStringIsOptional();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }

    std::unique_ptr<SaveFolder> m_dir;
};

namespace {
const QByteArray oldContent =
    QByteArray("old content that must survive a failed save\n").repeated(50);

// Like Windows' locale codec: characters it cannot hold become '?' without being counted as
// invalid, so canEncode() says yes to anything.
class SilentlyLossyCodec : public QTextCodec
{
public:
    QByteArray name() const override { return "x-silently-lossy-latin1"; }
    int mibEnum() const override { return -4711; }

protected:
    QString convertToUnicode(const char *in, int length, ConverterState *) const override
    {
        return QString::fromLatin1(in, length);
    }
    QByteArray convertFromUnicode(const QChar *in, int length, ConverterState *) const override
    {
        QByteArray out(length, '?');
        for (int i = 0; i < length; ++i)
            if (in[i].unicode() < 0x100)
                out[i] = char(in[i].unicode());
        return out;
    }
};

QString chineseLog()
{
    return QStringLiteral("发送时间 : 09:15:01.998\n接收时间 : 09:15:02.047 测量值:17.8米\n"
                          "接收时间 : 09:15:03.047 测量值:测量失败");
}
} // namespace

void tst_LogFile::bytes_data()
{
    QTest::addColumn<QByteArray>("codec");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("expected");

    const QString chinese = chineseLog();
    const QString western = QStringLiteral("Weite 17,8 m ± 0,1 m, Größe °");

    QTest::newRow("empty") << QByteArray("UTF-8") << QString() << QByteArray();
    QTest::newRow("no line feed added")
        << QByteArray("UTF-8") << QStringLiteral("17.8米") << QStringLiteral("17.8米").toUtf8();
    QTest::newRow("trailing line feed kept")
        << QByteArray("UTF-8") << QStringLiteral("a\n") << QByteArray("a\n");
    QTest::newRow("line ends untranslated")
        << QByteArray("UTF-8") << QStringLiteral("a\r\nb\rc\n\nd") << QByteArray("a\r\nb\rc\n\nd");
    QTest::newRow("UTF-8 locale, no byte-order mark")
        << QByteArray("UTF-8") << chinese << chinese.toUtf8();
    QTest::newRow("UTF-8 locale, Latin-1 text in UTF-8")
        << QByteArray("UTF-8") << western << western.toUtf8();
    QTest::newRow("Latin-1 locale keeps Latin-1")
        << QByteArray("ISO-8859-1") << western << western.toLatin1();
    QTest::newRow("Latin-1 locale, Chinese falls back to UTF-8")
        << QByteArray("ISO-8859-1") << chinese << chinese.toUtf8();
    // Whole text in one encoding: never Latin-1 and UTF-8 mixed in one file.
    QTest::newRow("Latin-1 locale, mixed text all UTF-8")
        << QByteArray("ISO-8859-1") << western + chinese << (western + chinese).toUtf8();
    // Registers itself; Qt owns it from here on.
    static const QTextCodec *const lossy = new SilentlyLossyCodec;
    QTest::newRow("locale hiding its losses keeps what it holds")
        << lossy->name() << western << western.toLatin1();
    QTest::newRow("locale hiding its losses, Chinese falls back to UTF-8")
        << lossy->name() << chinese << chinese.toUtf8();
    if (QTextCodec *gb = QTextCodec::codecForName("GB18030"))
        QTest::newRow("GB18030 locale keeps GB18030")
            << QByteArray("GB18030") << chinese << gb->fromUnicode(chinese);
    const QString big = QStringLiteral("接收时间 : 09:15:02.047 测量值:17.8米\n").repeated(2000);
    QTest::newRow("larger than any buffer") << QByteArray("UTF-8") << big << big.toUtf8();
}

void tst_LogFile::bytes()
{
    QFETCH(QByteArray, codec);
    QFETCH(QString, text);
    QFETCH(QByteArray, expected);

    QTextCodec *locale = QTextCodec::codecForName(codec);
    QVERIFY(locale);
    QTextCodec::setCodecForLocale(locale);

    // Always over a longer old file: nothing of it may stay behind.
    const QString target = path(QStringLiteral("log.txt"));
    QVERIFY(writeBytes(target, oldContent));

    QString error;
    QVERIFY2(saveLogText(target, text, &error), qPrintable(error));
    QCOMPARE(readBytes(target), expected);
    QCOMPARE(entriesBelow(m_dir->path()), QStringList{QStringLiteral("log.txt")});
}

void tst_LogFile::createsNewFile()
{
    const QString target = path(QStringLiteral("new"));
    QVERIFY(!QFileInfo::exists(target));
    QVERIFY(saveLogText(target, QStringLiteral("one\ntwo")));
    QCOMPARE(readBytes(target), QByteArray("one\ntwo"));
    QCOMPARE(entriesBelow(m_dir->path()), QStringList{QStringLiteral("new")});
}

void tst_LogFile::replacesWithNewFile()
{
    // Atomic replacement: the old file is swapped for a complete new one, not truncated and
    // rewritten in place, so there is no moment at which the old content is gone.
    const QString target = path(QStringLiteral("log.txt"));
    QVERIFY(writeBytes(target, oldContent));
    const ino_t before = inodeOf(target);
    QVERIFY(before);
    QVERIFY(saveLogText(target, QStringLiteral("new")));
    QCOMPARE(readBytes(target), QByteArray("new"));
    QVERIFY(inodeOf(target) != before);
}

void tst_LogFile::failures_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("textSize");
    QTest::addColumn<int>("reason"); // the errno whose text the error must be; 0: any text

    QTest::newRow("missing directory") << "missing directory" << 10 << 0;
    QTest::newRow("path under a regular file") << "under file" << 10 << 0;
    QTest::newRow("a directory") << "directory" << 10 << 0;
    QTest::newRow("read-only file in read-only directory") << "read-only" << 10 << 0;
    QTest::newRow("full device") << "full device" << 10 << ENOSPC;
    QTest::newRow("full device, large text") << "full device" << 100000 << ENOSPC;
    // The pitfall: a write cut short after a few bytes, with no error at first.
    QTest::newRow("disk full after 4096 of 20000 bytes") << "limit 4096" << 20000 << EFBIG;
    QTest::newRow("disk full after 50 of 100 bytes") << "limit 50" << 100 << EFBIG;
    QTest::newRow("disk full at once") << "limit 0" << 100 << EFBIG;
}

void tst_LogFile::failures()
{
    QFETCH(QString, kind);
    QFETCH(int, textSize);
    QFETCH(int, reason);

    const QString text(textSize, QLatin1Char('x'));
    QString target = path(QStringLiteral("log.txt"));
    QVERIFY(writeBytes(target, oldContent));
    bool saved = true;
    QString error;

    if (kind == QLatin1String("missing directory")) {
        target = path(QStringLiteral("missing/log.txt"));
        const QStringList before = entriesBelow(m_dir->path());
        saved = saveLogText(target, text, &error);
        QCOMPARE(entriesBelow(m_dir->path()), before);
    } else if (kind == QLatin1String("under file")) {
        saved = saveLogText(path(QStringLiteral("log.txt/inner.txt")), text, &error);
    } else if (kind == QLatin1String("directory")) {
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("folder")));
        saved = saveLogText(path(QStringLiteral("folder")), text, &error);
        QVERIFY(QFileInfo(path(QStringLiteral("folder"))).isDir());
    } else if (kind == QLatin1String("read-only")) {
        target =
            lockedFile(m_dir->path(), oldContent, QFileDevice::ReadOwner | QFileDevice::ReadOther);
        QVERIFY(!target.isEmpty());
        AsUnprivilegedUser unprivileged;
        saved = saveLogText(target, text, &error);
    } else if (kind == QLatin1String("full device")) {
        const QString device = makeFullDevice(m_dir->path());
        QVERIFY(isCharacterDevice(device));
        saved = saveLogText(device, text, &error);
        QVERIFY2(isCharacterDevice(device), "the device was replaced by a file");
    } else if (kind.startsWith(QLatin1String("limit "))) {
        const rlim_t limit = kind.mid(6).toULongLong();
        FileSizeLimit disk(limit);
        saved = saveLogText(target, text, &error);
    } else {
        QFAIL("unknown kind");
    }

    QVERIFY(!saved);
    QVERIFY(!error.isEmpty());
    QVERIFY2(error != QLatin1String("Unknown error"), qPrintable(error));
    if (reason)
        QCOMPARE(error, QString::fromLocal8Bit(std::strerror(reason)));
    QCOMPARE(readBytes(target),
             kind == QLatin1String("missing directory") ? QByteArray("<unreadable>") : oldContent);
    // No temporary file left behind.
    const QStringList left = entriesBelow(m_dir->path());
    for (const QString &entry : left)
        QVERIFY2(
            QStringList({"log.txt", "full", "folder", "locked", "locked/log.txt"}).contains(entry),
            qPrintable(entry));
}

void tst_LogFile::writesInPlaceWhereNoTemporaryFileFits()
{
    const QString target = lockedFile(m_dir->path(), oldContent,
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ReadOther | QFileDevice::WriteOther);
    QVERIFY(!target.isEmpty());
    const ino_t before = inodeOf(target);

    QString error;
    {
        AsUnprivilegedUser unprivileged;
        // The directory really takes no new file for this user.
        QFile probe(path(QStringLiteral("locked/probe")));
        QVERIFY(!probe.open(QIODevice::WriteOnly));
        QVERIFY2(saveLogText(target, chineseLog(), &error), qPrintable(error));
    }
    QCOMPARE(readBytes(target), chineseLog().toUtf8());
    QCOMPARE(inodeOf(target), before);
    QCOMPARE(entriesBelow(path(QStringLiteral("locked"))), QStringList{QStringLiteral("log.txt")});
}

void tst_LogFile::errorStringIsOptional()
{
    QVERIFY(!saveLogText(path(QStringLiteral("missing/log.txt")), QStringLiteral("x")));
    QVERIFY(saveLogText(path(QStringLiteral("log.txt")), QStringLiteral("x")));
    QCOMPARE(readBytes(path(QStringLiteral("log.txt"))), QByteArray("x"));
}

QTEST_GUILESS_MAIN(tst_LogFile)
#include "tst_logfile.moc"
