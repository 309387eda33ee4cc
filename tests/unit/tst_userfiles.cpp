// Files a user keeps, as the disk sees them: data synced before a file takes
// its name, a link saved through, a file system without hard links, a list's
// rows synced one by one and a cut last line set aside whole.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

#include "filemodes.h"
#include "store/csvlog.h"
#include "store/diskcalls.h"
#include "store/safefile.h"

namespace {

QString FdName(int fd)
{
    return QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/fd/%1").arg(fd))).fileName();
}

} // namespace

class TestUserFiles : public QObject
{
    Q_OBJECT

    DiskCalls system_ = Disk();
    QStringList calls_; // "sync NAME", "rename FROM TO", in order

    // The calls recorded; link() failing as on vfat; a sync of `failing` failing.
    void Watch(const QString& failing = "-")
    {
        Disk().sync = [=, this](int fd) {
            calls_ << "sync " + FdName(fd);
            return FdName(fd).endsWith(failing) ? (errno = ENOSPC, -1) : system_.sync(fd);
        };
        Disk().rename = [this](const char* from, const char* to) {
            calls_ << QStringLiteral("rename %1 %2")
                          .arg(QFileInfo(from).fileName(), QFileInfo(to).fileName());
            return system_.rename(from, to);
        };
        Disk().link = [](const char*, const char*) { return errno = EPERM, -1; };
    }

private slots:
    void cleanup()
    {
        Disk() = system_;
        calls_.clear();
    }

    // Replaced whole: the data synced under its temporary name before that is
    // renamed over the old file; through a link, which stays. Without hard
    // links a file is placed only where none is, and no temporary file stays.
    void savedWhole()
    {
        QTemporaryDir dir;
        QVERIFY(QFile::link("door.mct", dir.filePath("link.mct")));
        QVERIFY(SaveFileAtomically(dir.filePath("door.mct"), "old"));
        Watch();
        QVERIFY(SaveFileAtomically(dir.filePath("link.mct"), "new"));
        QVERIFY(QFileInfo(dir.filePath("link.mct")).isSymLink());
        QCOMPARE(Contents(dir.filePath("door.mct")), QByteArray("new"));
        const QString temp = calls_.value(0).mid(5);
        QVERIFY2(temp.startsWith(".door.mct."), qPrintable(calls_.join(" | ")));
        QCOMPARE(calls_.mid(1, 1), QStringList{"rename " + temp + " door.mct"});
        QVERIFY(SaveFileExclusively(dir.filePath("backup.json"), "card"));
        QString error;
        QVERIFY(!SaveFileExclusively(dir.filePath("backup.json"), "other", &error));
        QVERIFY(error.endsWith("exists"));
        const auto fresh = SaveNewFile(dir.path(), "card-01020304", "json", "b");
        QCOMPARE(Contents(dir.filePath("backup.json")) + Contents(fresh.value_or("")), "cardb");
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 4);
        // A relative path through a relative link leads where the kernel's would.
        QVERIFY(QDir(dir.path()).mkdir("sub") && QFile::link("sub", dir.filePath("sub.mct")));
        const QString was = QDir::currentPath();
        QDir::setCurrent(QFileInfo(dir.path()).path());
        const QString name = QFileInfo(dir.path()).fileName();
        const QString file = ThroughLinks(name + "/link.mct"),
                      folder = ThroughLinks(name + "/sub.mct");
        QDir::setCurrent(was);
        QCOMPARE(QFileInfo(file).absoluteFilePath(), dir.filePath("door.mct"));
        QCOMPARE(QFileInfo(folder).absoluteFilePath(), dir.filePath("sub"));
    }

    // Each row of a list is on the disk before the next is written, one line
    // whatever it holds; a last line cut short goes beside the list whole or
    // not at all.
    void listRows()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("box.csv");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("n,card\n1,00BC") == 13);
        file.close();
        const CsvFormat format{"n,card", [](const QStringList& row) { return row[1].size() == 8; }};
        QString error;
        Watch(".partial");
        QVERIFY(!CsvList().Open(path, format, {}, &error));
        QCOMPARE(Contents(path + ".partial") + Contents(path), QByteArray("n,card\n1,00BC"));
        Watch();
        CsvList list;
        QVERIFY(list.Open(path, format, {}, &error));
        QCOMPARE(Contents(path + ".partial") + Contents(path), QByteArray("1,00BC\nn,card\n"));
        for (const char* card : {"00BC614E", "0012D687\n"}) {
            calls_.clear();
            QVERIFY(list.Append({"2", card}, &error));
            QCOMPARE(calls_, QStringList{"sync box.csv"});
        }
        QCOMPARE(Contents(path), QByteArray("n,card\n2,00BC614E\n2,0012D687[0A]\n"));
    }
};

QTEST_GUILESS_MAIN(TestUserFiles)
#include "tst_userfiles.moc"
