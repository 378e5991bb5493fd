#include "link/codepage.h"
#include "link/serialcontrol.h"
#include "support/pty.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Kind = SerialControl::OpenFailure::Kind;

enum class Holder { None, Exclusive, LockFile, NoAccess };

bool openOn(SerialControl &control, const QString &device, int com)
{
    PortMap map;
    map.map(com, device);
    SerialControl::setPortMap(map);
    return control.setCommPort(com) && control.setPortOpen(true);
}

QByteArray everyByte()
{
    QByteArray all(256, Qt::Uninitialized);
    for (int i = 0; i < 256; ++i)
        all[i] = char(i);
    return all;
}

// The UUCP lock file other programs (and QSerialPort) honour for a device.
QString lockFileFor(const QString &device)
{
    const QString dirs[] = { QStringLiteral("/var/lock"), QStringLiteral("/etc/locks"),
        QStringLiteral("/var/spool/locks"), QStringLiteral("/var/spool/uucp"), QDir::tempPath() };
    QString name = device;
    name.remove(QRegularExpression(QStringLiteral("^/dev/"))).replace(QLatin1Char('/'), '_');
    for (const QString &dir : dirs) {
        const QFileInfo info(dir);
        if (info.isReadable() && info.isWritable())
            return dir + QStringLiteral("/LCK..") + name;
    }
    return QString();
}

// Counts the socket-notifier activations the whole program receives: a hung-up descriptor
// left in the event loop shows up here as a count that keeps growing.
class NotifierCounter : public QObject
{
public:
    int count = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::SockAct)
            ++count;
        return false;
    }
};

} // namespace

Q_DECLARE_METATYPE(Holder)
Q_DECLARE_METATYPE(Kind)

class tst_SerialControl : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral("."))); }
    void lineSettings();
    void output_data();
    void output();
    void outputWhileClosed();
    void input_data();
    void input();
    void parityMarks_data();
    void parityMarks();
    void openFailure_data();
    void openFailure();
    void portNumberAndReopening();
    void masterClosed_data();
    void masterClosed();
};

void tst_SerialControl::lineSettings()
{
    Pty pty;
    QVERIFY(pty.isValid());
    SerialControl control;
    QVERIFY(openOn(control, pty.slavePath(), 1));
    QVERIFY(control.PortOpen());
    QCOMPARE(control.lastOpenFailure().kind, Kind::None);
    QCOMPARE(control.baudRate(), 9600);
    QCOMPARE(control.parity(), QSerialPort::EvenParity);
    QCOMPARE(control.dataBits(), QSerialPort::Data7);
    QCOMPARE(control.stopBits(), QSerialPort::OneStop);
    QCOMPARE(control.flowControl(), QSerialPort::NoFlowControl);
    QCOMPARE(pty.slaveSpeed(), 9600);
}

void tst_SerialControl::output_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("SETU") << QByteArray("SETU\r");
    QTest::newRow("every byte") << everyByte();
    QTest::newRow("long line") << QByteArray(20000, 'x') + '\r';
}

void tst_SerialControl::output()
{
    QFETCH(QByteArray, bytes);
    Pty pty;
    SerialControl control;
    QVERIFY(openOn(control, pty.slavePath(), 1));
    QVERIFY(control.Output(bytes));
    QCOMPARE(pty.read(int(bytes.size())), bytes);
    QTest::qWait(20);
    QCOMPARE(pty.readAvailable(), QByteArray());
}

void tst_SerialControl::outputWhileClosed()
{
    Pty pty;
    SerialControl control;
    QVERIFY(!control.Output("ST\r"));
    QVERIFY(openOn(control, pty.slavePath(), 1));
    QVERIFY(control.setPortOpen(false));
    QVERIFY(!control.Output("ST\r"));
    QTest::qWait(20);
    QCOMPARE(pty.readAvailable(), QByteArray());
}

void tst_SerialControl::input_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("reply") << QByteArray("OK!\r\n") << QStringLiteral("OK!\r\n");
    QTest::newRow("NUL") << QByteArray("A\0B", 3) << QStringView(u"A\0B", 3).toString();
    QTest::newRow("0xE9") << QByteArray("\xe9") << QStringLiteral("é");
    QTest::newRow("0x80") << QByteArray("\x80") << QStringLiteral("€");
    QTest::newRow("every byte") << everyByte() << codepage::toText(everyByte());
}

void tst_SerialControl::input()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    Pty pty;
    SerialControl control;
    QSignalSpy onComm(&control, &SerialControl::OnComm);
    QVERIFY(openOn(control, pty.slavePath(), 1));
    QCOMPARE(control.InBufferCount(), 0);
    QVERIFY(pty.write(bytes));
    QTRY_COMPARE(control.InBufferCount(), int(text.size()));
    QVERIFY(onComm.size() >= 1);
    QCOMPARE(control.Input(), text);
    QCOMPARE(control.InBufferCount(), 0);
    QCOMPARE(control.Input(), QString());
}

void tst_SerialControl::parityMarks_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArray>("decoded");
    QTest::newRow("parity error") << QByteArray("\377\0c", 3) << QByteArray("?");
    QTest::newRow("marked 0377") << QByteArray("\377\377") << QByteArray("\377");
    QTest::newRow("plain") << QByteArray("SETU BD1=4800\r\n") << QByteArray("SETU BD1=4800\r\n");
    QTest::newRow("plain NUL") << QByteArray("a\0b", 3) << QByteArray("a\0b", 3);
    QTest::newRow("mixed") << QByteArray("A\377\0xB\377\377C\377\0\377D", 12)
                           << QByteArray("A?B\377C?D");
}

void tst_SerialControl::parityMarks()
{
    QFETCH(QByteArray, raw);
    QFETCH(QByteArray, decoded);
    const auto fed = [&](std::initializer_list<qsizetype> cuts) {
        ParityMarkDecoder decoder;
        QByteArray out;
        qsizetype from = 0;
        for (const qsizetype cut : cuts) {
            out += decoder.feed(QByteArrayView(raw).sliced(from, cut - from));
            from = cut;
        }
        return out + decoder.feed(QByteArrayView(raw).sliced(from));
    };
    QCOMPARE(fed({}), decoded);
    for (qsizetype i = 0; i <= raw.size(); ++i) {
        QCOMPARE(fed({ i }), decoded);
        for (qsizetype j = i; j <= raw.size(); ++j)
            QCOMPARE(fed({ i, j }), decoded);
    }
}

void tst_SerialControl::openFailure_data()
{
    QTest::addColumn<Holder>("holder");
    QTest::addColumn<Kind>("kind");
    QTest::newRow("absent device") << Holder::None << Kind::NotFound;
    QTest::newRow("held exclusively") << Holder::Exclusive << Kind::Busy;
    QTest::newRow("lock file held") << Holder::LockFile << Kind::Busy;
    QTest::newRow("no access") << Holder::NoAccess << Kind::PermissionDenied;
}

void tst_SerialControl::openFailure()
{
    QFETCH(Holder, holder);
    QFETCH(Kind, kind);
    Pty pty;
    QString device = pty.slavePath();
    int exclusive = -1;
    const auto release = qScopeGuard([&] {
        if (exclusive >= 0)
            ::close(exclusive);
    });
    QLockFile lock(lockFileFor(device));
    switch (holder) {
    case Holder::None:
        device = QDir::temp().filePath(QStringLiteral("tessaly-no-such-tty"));
        QVERIFY(!QFileInfo::exists(device));
        break;
    case Holder::Exclusive: {
        exclusive = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(exclusive >= 0);
        QCOMPARE(::ioctl(exclusive, TIOCEXCL), 0);
        const int probe = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY);
        if (probe >= 0) {
            ::close(probe);
            QSKIP("TIOCEXCL does not bind this process (root, CAP_SYS_ADMIN, opens any line)");
        }
        break;
    }
    case Holder::LockFile:
        QVERIFY(lock.tryLock(0));
        break;
    case Holder::NoAccess:
        if (::geteuid() == 0)
            QSKIP("root passes every access check, so no device can refuse it");
        QCOMPARE(::chmod(QFile::encodeName(device).constData(), 0), 0);
        break;
    }

    SerialControl control;
    QSignalSpy lost(&control, &SerialControl::portLost);
    QSignalSpy onComm(&control, &SerialControl::OnComm);
    QVERIFY(!openOn(control, device, 3));
    QVERIFY(!control.PortOpen());
    const SerialControl::OpenFailure &failure = control.lastOpenFailure();
    QCOMPARE(failure.kind, kind);
    QCOMPARE(failure.com, 3);
    QCOMPARE(failure.device, device);
    QVERIFY(!failure.reason.isEmpty());
    if (kind == Kind::NotFound)
        QCOMPARE(failure.reason, QString::fromLocal8Bit(std::strerror(ENOENT)));
    if (kind == Kind::PermissionDenied)
        QVERIFY(!failure.group.isEmpty());
    const QString message = SerialControl::describe(failure);
    QVERIFY2(message.contains(QStringLiteral("COM3 (%1)").arg(device)), qPrintable(message));
    if (kind == Kind::NotFound)
        QVERIFY2(message.contains(failure.reason), qPrintable(message));
    if (kind == Kind::PermissionDenied)
        QVERIFY2(
            message.contains(QStringLiteral("« %1 »").arg(failure.group)), qPrintable(message));
    QCOMPARE(lost.size(), 0);
    QCOMPARE(onComm.size(), 0);
}

void tst_SerialControl::portNumberAndReopening()
{
    Pty pty;
    PortMap map;
    map.map(2, pty.slavePath());
    map.map(3, QDir::temp().filePath(QStringLiteral("tessaly-no-such-tty")));
    SerialControl::setPortMap(map);

    SerialControl control;
    QCOMPARE(control.CommPort(), 1);
    QVERIFY(!control.setCommPort(0));
    QVERIFY(!control.setCommPort(6));
    QVERIFY(control.setCommPort(3));
    QVERIFY(!control.setPortOpen(true));
    QCOMPARE(control.lastOpenFailure().kind, Kind::NotFound);

    QVERIFY(control.setCommPort(2));
    QCOMPARE(control.devicePath(), pty.slavePath());
    QVERIFY(control.setPortOpen(true));
    QCOMPARE(control.lastOpenFailure().kind, Kind::None);
    QVERIFY(!control.setCommPort(3));
    QCOMPARE(control.CommPort(), 2);

    QVERIFY(control.setPortOpen(false));
    QVERIFY(!control.PortOpen());
    QVERIFY(control.setPortOpen(true));
    QVERIFY(control.Output("ST\r"));
    QCOMPARE(pty.read(3), QByteArray("ST\r"));
    QVERIFY(pty.write("OK!"));
    QTRY_COMPARE(control.InBufferCount(), 3);
    QCOMPARE(control.Input(), QStringLiteral("OK!"));
}

void tst_SerialControl::masterClosed_data()
{
    QTest::addColumn<QByteArray>("pendingOutput");
    QTest::newRow("idle line") << QByteArray();
    QTest::newRow("output pending") << QByteArray(4000, 'x');
}

void tst_SerialControl::masterClosed()
{
    QFETCH(QByteArray, pendingOutput);
    NotifierCounter notifications;
    qApp->installEventFilter(&notifications);
    const auto removeFilter = qScopeGuard([&] { qApp->removeEventFilter(&notifications); });

    Pty pty;
    SerialControl control;
    QSignalSpy lost(&control, &SerialControl::portLost);
    QSignalSpy onComm(&control, &SerialControl::OnComm);
    QVERIFY(openOn(control, pty.slavePath(), 2));
    QVERIFY(pty.write("OK!"));
    QTRY_COMPARE(control.InBufferCount(), 3);
    QVERIFY2(notifications.count > 0, "the counter must see the port's notifier at work");

    pty.closeMaster();
    if (!pendingOutput.isEmpty())
        QVERIFY(control.Output(pendingOutput));
    QTRY_COMPARE(lost.size(), 1);
    QVERIFY(!control.PortOpen());
    QCOMPARE(lost.at(0).at(0).toInt(), 2);
    QCOMPARE(lost.at(0).at(1).toString(), pty.slavePath());
    QVERIFY(!lost.at(0).at(2).toString().isEmpty());

    // Once the loss is handled nothing is left to wake the event loop.
    notifications.count = 0;
    const qsizetype onCommBefore = onComm.size();
    QTest::qWait(300);
    QCOMPARE(notifications.count, 0);
    QCOMPARE(lost.size(), 1);
    QCOMPARE(onComm.size(), onCommBefore);
    QVERIFY(!control.Output("ST\r"));
    QCOMPARE(control.Input(), QStringLiteral("OK!"));
}

QTEST_MAIN(tst_SerialControl)
#include "tst_serialcontrol.moc"
