#include "fixture.h"

#include <QFileInfo>
#include <QSettings>
#include <QTest>

#include <ctime>
#include <stdexcept>

#include "beep.h"
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
    if (!r.HungUp()) {
        link::SerialPort again;
        QVERIFY2(again.OpenPath(r.LinkPath(), "19200,e,8,1"), "the port was not released");
    }
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
