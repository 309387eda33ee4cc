// Files a user keeps, as the disk sees them: data synced before a file takes
// its name, a link saved through, a file system without hard links, a list's
// rows synced one by one.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <unistd.h>

#include "store/csvlog.h"
#include "store/diskcalls.h"
#include "store/safefile.h"

namespace {

QString Name(const char* path)
{
    return QFileInfo(QFile::decodeName(path)).fileName();
}

QByteArray Contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
}

} // namespace

class TestUserFiles : public QObject
{
    Q_OBJECT

    DiskCalls system_ = Disk();
    QStringList calls_; // "sync NAME", "rename FROM TO", "link FROM TO", in order

    // The calls recorded; link() fails as on vfat where `noLinks`.
    void Watch(bool noLinks = false)
    {
        Disk().sync = [this](int fd) {
            const QString at = QFile::symLinkTarget(QStringLiteral("/proc/self/fd/%1").arg(fd));
            calls_ << "sync " + QFileInfo(at).fileName();
            return system_.sync(fd);
        };
        Disk().rename = [this](const char* from, const char* to) {
            calls_ << QStringLiteral("rename %1 %2").arg(Name(from), Name(to));
            return system_.rename(from, to);
        };
        Disk().link = [this, noLinks](const char* from, const char* to) {
            calls_ << QStringLiteral("link %1 %2").arg(Name(from), Name(to));
            if (noLinks) {
                errno = EPERM;
                return -1;
            }
            return system_.link(from, to);
        };
    }

private slots:
    void cleanup()
    {
        Disk() = system_;
        calls_.clear();
    }

    // Replaced whole: the new data is synced under its temporary name before
    // that name is renamed over the old file; through a link, the link stays.
    void savedWholeThroughALink()
    {
        QTemporaryDir dir;
        const QString target = dir.filePath("door.mct"), link = dir.filePath("link.mct");
        QVERIFY(QFile::link("door.mct", link));
        QVERIFY(SaveFileAtomically(target, "old"));
        Watch();
        QVERIFY(SaveFileAtomically(link, "new"));
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(Contents(target), QByteArray("new"));
        QCOMPARE(calls_.size(), 3);
        const QString temp = calls_[0].mid(5);
        QVERIFY2(temp.startsWith(".door.mct."), qPrintable(calls_.join(" | ")));
        QCOMPARE(calls_[1], "rename " + temp + " door.mct");
        QCOMPARE(calls_[2], "sync " + QFileInfo(dir.path()).fileName());
        // A link to nothing yet: the file is made where it leads.
        QVERIFY(QFile::link("later.mct", dir.filePath("dangling.mct")));
        QVERIFY(SaveFileAtomically(dir.filePath("dangling.mct"), "first"));
        QCOMPARE(Contents(dir.filePath("later.mct")), QByteArray("first"));
    }

    // Without hard links a file is still placed only where none is, whole,
    // and no temporary file stays behind.
    void placedWithoutHardLinks()
    {
        QTemporaryDir dir;
        Watch(true);
        QVERIFY(SaveFileExclusively(dir.filePath("backup.json"), "card"));
        QString error;
        QVERIFY(!SaveFileExclusively(dir.filePath("backup.json"), "other", &error));
        QVERIFY(error.endsWith("exists"));
        const auto fresh = SaveNewFile(dir.path(), "card-01020304", "json", "a");
        const auto second = SaveNewFile(dir.path(), "card-01020304", "json", "b");
        QVERIFY(fresh && second && *fresh != *second);
        QCOMPARE(Contents(dir.filePath("backup.json")), QByteArray("card"));
        QCOMPARE(Contents(*second), QByteArray("b"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 3);
        QCOMPARE(QFile(dir.filePath("backup.json")).permissions() & 0x0077, 0);
        QVERIFY(calls_.filter("link ").size() >= 3); // the link was tried each time
    }

    // Each row of a list is on the disk before the next is written.
    void rowsSyncedOneByOne()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath("box.csv"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("n,card\n") == 7);
        file.close();
        CsvList list;
        QString error;
        QVERIFY(list.Open(file.fileName(), {"n,card"}, {}, &error));
        Watch();
        for (const char* card : {"00BC614E", "0012D687"}) {
            const qsizetype before = calls_.size();
            QVERIFY(list.Append({QString::number(before), card}, &error));
            QCOMPARE(calls_, QStringList(before + 1, "sync box.csv"));
        }
        QCOMPARE(Contents(file.fileName()), QByteArray("n,card\n0,00BC614E\n1,0012D687\n"));
    }
};

QTEST_GUILESS_MAIN(TestUserFiles)
#include "tst_userfiles.moc"
