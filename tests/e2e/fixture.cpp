#include "fixture.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTest>
#include <QTimer>

#include <ctime>
#include <optional>
#include <stdexcept>

#include "gui/beep.h"
#include "link/serialport.h"

#include <QApplication>

Fixture::Fixture()
{
    qputenv("TESMORA_PORT_DIR", ports_.path().toLocal8Bit());
    // QSettings keeps the scope folders for the life of the process; setPath
    // points both scopes at this test's own folders.
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, system_.path());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, user_.path());
    SetBeepHook([this](int f, int d) {
        beeps.emplace_back(f, d);
        return true;
    });
}

Fixture::~Fixture()
{
    CloseWindow();
    SetBeepHook(nullptr);
    for (auto& r : readers_)
        r->Stop();
}

emu::ReaderEmulator& Fixture::AddReader(int com, const emu::ReaderModel& model,
                                        const emu::Options& options)
{
    auto reader = std::make_unique<emu::ReaderEmulator>(model, options);
    if (!reader->Start(ports_.path().toStdString(), com))
        throw std::runtime_error("cannot start the reader emulator");
    readers_.push_back(std::move(reader));
    return *readers_.back();
}

emu::ReaderEmulator& Fixture::FoundReader(int type, emu::ReaderModel m, const QString& mode)
{
    static const char prefixes[] = "AHAHJIJI";
    m.prefix = prefixes[type];
    m.baud = mode.section(',', 0, 0).toInt();
    emu::ReaderEmulator& r = AddReader(1, m);
    StoreSystem("ScanCommNo", "1");
    StoreSystem("ScanBaudRate", mode);
    StoreSystem("ScanBaudRateNo", mode == "9600,e,8,1" ? "3" : "5");
    StoreSystem("ReaderType", QString::number(type));
    OpenWindow();
    Click(ui()->btnScan);
    if (!window().ReaderFound)
        throw std::runtime_error("the scan did not find the reader");
    r.ClearTrace();
    beeps.clear();
    return r;
}

void VerifyReleased(Fixture& fx, emu::ReaderEmulator& r)
{
    QVERIFY(fx.window().isEnabled());
    QVERIFY(!fx.window().OperationRunning);
    QVERIFY(!fx.window().CardReadRunning);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    QCOMPARE(ToolDescriptors(r), 0);
    if (!r.HungUp()) {
        link::SerialPort again;
        QVERIFY2(again.OpenPath(r.LinkPath(), "19200,e,8,1"), "the port was not released");
    }
}

void VerifyDuring(const Fixture& fx, const QString& title, const std::vector<std::string>& payloads)
{
    if (payloads.empty())
        return; // refused before the port: too quick to sample
    QVERIFY(fx.during.samples > 0);
    QVERIFY(fx.during.alwaysDisabled);
    QVERIFY(fx.during.alwaysWaitCursor);
    QVERIFY2(fx.during.messages.contains(title), qPrintable(fx.during.messages.join('|')));
}

void VerifyPauses(const emu::ReaderEmulator& r)
{
    std::optional<std::chrono::steady_clock::time_point> lastAnswer;
    for (const emu::TraceEntry& e : r.Trace()) {
        if (e.kind == emu::TraceEntry::Sent) {
            lastAnswer = e.end;
        } else if (lastAnswer) {
            const double gap =
                std::chrono::duration<double, std::milli>(e.time - *lastAnswer).count();
            QVERIFY2(gap >= 100.0, qPrintable(QString::fromStdString(e.bytes) + " after " +
                                              QString::number(gap) + " ms"));
            lastAnswer.reset();
        }
    }
}

int ToolDescriptors(const emu::ReaderEmulator& r)
{
    const QString device = QString::fromStdString(r.SlavePath());
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    // A device that hung up is still held by a descriptor that names it "(deleted)".
    for (const QString& fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        const QString target = QFileInfo(fds.filePath(fd)).symLinkTarget();
        count += target == device || target == device + QStringLiteral(" (deleted)");
    }
    // The emulator keeps one descriptor of its own on the device until it hangs up.
    return count - (r.Running() && !r.HungUp() ? 1 : 0);
}

double CpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1000.0 + double(t.tv_nsec) / 1e6;
}

void Fixture::AddDeadPort(int com)
{
    emu::ReaderModel dead;
    dead.dead = true;
    AddReader(com, dead);
}

void Fixture::HoldPort(int com)
{
    emu::ReaderEmulator& r = AddReader(com);
    held_.push_back(std::make_unique<emu::HeldPort>(r.LinkPath()));
}

static QString StoreFile(const QString& dir)
{
    return dir + QStringLiteral("/VORAX/ReaderConfig.conf");
}

void Fixture::StoreSystem(const QString& key, const QVariant& value)
{
    QSettings s(StoreFile(system_.path()), QSettings::IniFormat);
    s.setValue(key, value);
}

void Fixture::StoreUser(const QString& key, const QVariant& value)
{
    QSettings s(StoreFile(user_.path()), QSettings::IniFormat);
    s.setValue(key, value);
}

QVariant Fixture::Stored(const QString& key) const
{
    // The test's machine-wide folder is writable, so that is where saves go.
    QSettings system(StoreFile(system_.path()), QSettings::IniFormat);
    if (system.contains(key))
        return system.value(key);
    return QSettings(StoreFile(user_.path()), QSettings::IniFormat).value(key);
}

QVariant Fixture::StoredSystem(const QString& key) const
{
    QSettings s(StoreFile(system_.path()), QSettings::IniFormat);
    return s.value(key);
}

bool Fixture::SystemStoreExists() const
{
    return QFileInfo::exists(StoreFile(system_.path()));
}

QString Fixture::SystemStorePath() const
{
    return StoreFile(system_.path());
}

QString Fixture::UserStorePath() const
{
    return StoreFile(user_.path());
}

TfrmModule& Fixture::OpenWindow()
{
    window_ = std::make_unique<TfrmModule>();
    window_->show();
    if (!QTest::qWaitForWindowExposed(window_.get()))
        throw std::runtime_error("window not exposed");
    return *window_;
}

void Fixture::CloseWindow()
{
    if (!window_)
        return;
    window_->CardReadRunning = false;
    window_->close();
    window_.reset();
}

void Fixture::Click(QWidget* button)
{
    during = {};
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [this] {
        ++during.samples;
        during.alwaysDisabled &= window_ && !window_->isEnabled();
        const QCursor* cursor = QApplication::overrideCursor();
        during.alwaysWaitCursor &= cursor && cursor->shape() == Qt::WaitCursor;
        if (window_) {
            const QString text = window_->form()->pnMsg->text();
            if (during.messages.isEmpty() || during.messages.last() != text)
                during.messages << text;
        }
    });
    sampler.start(20);
    QTest::mouseClick(button, Qt::LeftButton);
}

emu::ReaderModel Reader(char prefix, int baud, const std::string& id)
{
    emu::ReaderModel m;
    m.prefix = prefix;
    m.baud = baud;
    m.id = id;
    return m;
}
