#include "commands/commands.h"
#include "link/module1.h"
#include "link/serialcontrol.h"
#include "support/pty.h"
#include "ui/main/principale.h"
#include "ui/operatormessage.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QLockFile>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// Faults an operator meets on a real line, driven through the main window: a device that
// vanishes, a port that cannot be opened, a command with no port, a command too long. Each must
// give one clear message, lose nothing from the trace or the receive buffer, and leave the
// program able to open another port and send.
namespace {

enum class Cause {
    Absent,
    DanglingLink,
    NotATerminal,
    NoHardware,
    HeldExclusively,
    LockFileHeld,
    LockFileHeldLong,
    UucpLockFile,
    UucpLockBehindLink,
    Flocked,
    NoAccess,
    DirectoryClosed,
};

// How long a read waits for the bytes it expects: a guard against a hang, not a time limit on
// the program, so it is generous for loaded or sanitized runs.
constexpr int patience = 30000;
constexpr int failingCom = 3;
constexpr int freshCom = 2;
constexpr uid_t nobody = 65534;
const QByteArray childFlag = "--child";
const QByteArray childStarted = "tst_faults child started";

QStringList &shownMessages()
{
    static QStringList messages;
    return messages;
}

void mapPort(int com, const QString &device)
{
    PortMap map = SerialControl::portMap();
    map.map(com, device);
    SerialControl::setPortMap(map);
}

int selectedOption(const Principale *form)
{
    for (int n = 1; n <= 5; ++n) {
        if (form->portOption(n)->isChecked())
            return n;
    }
    return 0;
}

Principale *shownWindow()
{
    Principale *form = Principale::form();
    form->show();
    return QTest::qWaitForWindowActive(form) ? form : nullptr;
}

// Delivered through the window, as a real click is, so the pressed control takes the focus.
void click(QWidget *target)
{
    QWidget *top = target->window();
    QTest::mouseClick(
        top->windowHandle(), Qt::LeftButton, {}, target->mapTo(top, target->rect().center()));
}

bool closeWindow()
{
    QPointer<Principale> form = Principale::ifLoaded();
    if (!form)
        return true;
    form->close();
    return QTest::qWaitFor([&] { return form.isNull(); });
}

QString reasonFor(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The UUCP lock file other programs (and QSerialPort) honour for a device.
QString lockFileFor(const QString &device)
{
    const QString dirs[] = { u"/var/lock"_s, u"/etc/locks"_s, u"/var/spool/locks"_s,
        u"/var/spool/uucp"_s, QDir::tempPath() };
    QString name = device;
    name.remove(QRegularExpression(u"^/dev/"_s)).replace(u'/', u'_');
    for (const QString &dir : dirs) {
        const QFileInfo info(dir);
        if (info.isReadable() && info.isWritable())
            return dir + u"/LCK.."_s + name;
    }
    return QString();
}

// Sets TIOCEXCL on the line, as a program holding it exclusively does. False when this process
// may open it regardless (root has CAP_SYS_ADMIN), so the hold would prove nothing.
bool holdExclusively(const QString &device, int *fd)
{
    const QByteArray path = QFile::encodeName(device);
    *fd = ::open(path.constData(), O_RDWR | O_NOCTTY);
    if (*fd < 0 || ::ioctl(*fd, TIOCEXCL) != 0)
        return false;
    const int probe = ::open(path.constData(), O_RDWR | O_NOCTTY);
    if (probe < 0)
        return true;
    ::close(probe);
    return false;
}

// What the operator saw of one failed opening, and whether the program still worked after it.
struct Attempt
{
    QString device;
    QStringList messages; // shown by the failed opening
    int selected = -1; // option still selected after it
    bool portOpen = true;
    QByteArray sentAfterwards; // what LecturePort then put on a fresh port
    QString trace;
    qsizetype messagesInAll = -1;
    bool freshPort = true;

    QByteArray toJson() const
    {
        const QJsonObject json { { u"device"_s, device },
            { u"messages"_s, QJsonArray::fromStringList(messages) }, { u"selected"_s, selected },
            { u"portOpen"_s, portOpen },
            { u"sentAfterwards"_s, QString::fromLatin1(sentAfterwards) }, { u"trace"_s, trace },
            { u"messagesInAll"_s, messagesInAll }, { u"freshPort"_s, freshPort } };
        return QJsonDocument(json).toJson(QJsonDocument::Compact);
    }

    static Attempt fromJson(const QByteArray &text)
    {
        const QJsonObject json = QJsonDocument::fromJson(text).object();
        Attempt attempt;
        attempt.device = json[u"device"_s].toString();
        for (const QJsonValue &message : json[u"messages"_s].toArray())
            attempt.messages << message.toString();
        attempt.selected = json[u"selected"_s].toInt(-1);
        attempt.portOpen = json[u"portOpen"_s].toBool(true);
        attempt.sentAfterwards = json[u"sentAfterwards"_s].toString().toLatin1();
        attempt.trace = json[u"trace"_s].toString();
        attempt.messagesInAll = json[u"messagesInAll"_s].toInteger(-1);
        attempt.freshPort = json[u"freshPort"_s].toBool(true);
        return attempt;
    }
};

// Selects the option of a port that cannot be opened, then the option of a working one, and
// reads the line LecturePort puts on it.
Attempt failThenUseAnother(const QString &device)
{
    Attempt attempt;
    attempt.device = device;
    Pty fresh;
    if (!fresh.isValid()) {
        attempt.freshPort = false;
        return attempt;
    }
    mapPort(failingCom, device);
    mapPort(freshCom, fresh.slavePath());
    shownMessages().clear();
    Principale *form = shownWindow();
    if (!form)
        return attempt;

    form->portOption(failingCom)->setChecked(true);
    attempt.messages = shownMessages();
    attempt.selected = selectedOption(form);
    attempt.portOpen = form->comm().PortOpen();

    form->portOption(freshCom)->setChecked(true);
    click(form->findChild<QPushButton *>(u"LecturePort"_s));
    attempt.sentAfterwards = fresh.read(5, patience);
    attempt.trace = form->trace().text();
    attempt.messagesInAll = shownMessages().size();
    if (!closeWindow())
        attempt.messagesInAll = -1;
    return attempt;
}

// The same binary, run as nobody: the faults that root's privileges hide.
int runChild(const QString &row, const QString &device)
{
    std::puts(childStarted.constData());
    std::fflush(stdout);
    Attempt attempt;
    if (row == u"held exclusively"_s) {
        Pty held;
        int exclusive = -1;
        if (!held.isValid() || !holdExclusively(held.slavePath(), &exclusive))
            return 2;
        attempt = failThenUseAnother(held.slavePath());
        ::close(exclusive);
    } else {
        attempt = failThenUseAnother(device);
    }
    std::puts(attempt.toJson().constData());
    return 0;
}

struct ChildRun
{
    bool started = false;
    bool finishedCleanly = false;
    QByteArray result;
    QString errors;
};

ChildRun runAsNobody(const QString &row, const QString &device)
{
    ChildRun run;
    const QString setpriv = QStandardPaths::findExecutable(u"setpriv"_s);
    // The build tree may sit where nobody cannot reach it: the binary runs from a copy.
    QTemporaryDir copyDir;
    const QString copy = copyDir.filePath(u"tst_faults"_s);
    const auto everyoneMayRun = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
        | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    if (setpriv.isEmpty() || !copyDir.isValid()
        || !QFile::setPermissions(copyDir.path(), everyoneMayRun)
        || !QFile::copy(QCoreApplication::applicationFilePath(), copy)
        || !QFile::setPermissions(copy, everyoneMayRun)) {
        run.errors = u"no setpriv, or no copy of the test binary that nobody may run"_s;
        return run;
    }

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    env.insert(u"HOME"_s, copyDir.path());
    env.remove(u"XDG_RUNTIME_DIR"_s);
    child.setProcessEnvironment(env);
    child.start(setpriv,
        { u"--reuid=%1"_s.arg(nobody), u"--regid=%1"_s.arg(nobody), u"--clear-groups"_s, copy,
            QString::fromLatin1(childFlag), row, device });
    // Only a guard against a hung child; no step of the run is timed.
    child.waitForFinished(60000);
    const QList<QByteArray> lines = child.readAllStandardOutput().split('\n');
    run.errors = QString::fromLocal8Bit(child.readAllStandardError());
    run.started = lines.contains(childStarted);
    run.finishedCleanly = child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    for (const QByteArray &line : lines) {
        if (line.startsWith('{'))
            run.result = line;
    }
    return run;
}

} // namespace

Q_DECLARE_METATYPE(Cause)

class TestFaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void deviceVanishingMidReplyKeepsThePartialReply_data();
    void deviceVanishingMidReplyKeepsThePartialReply();
    void lostPortIsToldInAModalBox();
    void failedOpeningIsToldOnce_data();
    void failedOpeningIsToldOnce();
    void commandWithoutPortIsTracedNotWritten_data();
    void commandWithoutPortIsTracedNotWritten();
    void overlongCommandIsRefused_data();
    void overlongCommandIsRefused();
};

void TestFaults::init()
{
    QTest::failOnWarning(QRegularExpression(u"."_s));
    shownMessages().clear();
    Module1::TamponReception.clear();
    SerialControl::setPortMap(PortMap());
}

void TestFaults::cleanup()
{
    QVERIFY(closeWindow());
}

void TestFaults::deviceVanishingMidReplyKeepsThePartialReply_data()
{
    QTest::addColumn<int>("reopened");

    QTest::newRow("another port") << 2;
    QTest::newRow("same port, adapter plugged back") << 1;
}

void TestFaults::deviceVanishingMidReplyKeepsThePartialReply()
{
    QFETCH(int, reopened);

    // COM1 reaches its device through a link, as /dev/serial/by-id does, so that the adapter
    // can come back under the same name.
    QTemporaryDir dir;
    auto vanishing = std::make_unique<Pty>();
    Pty fresh;
    QVERIFY(dir.isValid() && vanishing->isValid() && fresh.isValid());
    const QString com1 = dir.filePath(u"ttyUSB0"_s);
    QVERIFY(QFile::link(vanishing->slavePath(), com1));
    mapPort(1, com1);
    mapPort(2, fresh.slavePath());
    Principale *form = shownWindow();
    QVERIFY(form);
    auto *lecturePort = form->findChild<QPushButton *>(u"LecturePort"_s);

    form->portOption(1)->setChecked(true);
    click(lecturePort);
    QCOMPARE(vanishing->read(5, patience), QByteArray("SETU\r"));
    QVERIFY(vanishing->write("BD1=96"));
    QTRY_COMPARE(Module1::TamponReception, u"BD1=96"_s);
    vanishing.reset();

    QTRY_COMPARE(shownMessages().size(), 1);
    const QString message = shownMessages().first();
    QVERIFY2(message.contains(u"COM1 (%1)"_s.arg(com1)), qPrintable(message));
    QVERIFY2(message.contains(u"perdue"_s), qPrintable(message));
    QVERIFY(!form->comm().PortOpen());
    QCOMPARE(selectedOption(form), 0);
    QCOMPARE(form->trace().text(), u"Q: SETU$13\r\n"_s);
    QCOMPARE(Module1::TamponReception, u"BD1=96"_s);

    if (reopened == 1) {
        QVERIFY(QFile::remove(com1));
        QVERIFY(QFile::link(fresh.slavePath(), com1));
    }
    form->portOption(reopened)->setChecked(true);
    QVERIFY(form->comm().PortOpen());
    click(lecturePort);
    QCOMPARE(fresh.read(5, patience), QByteArray("SETU\r"));
    QVERIFY(fresh.write("00!"));
    const QString trace
        = u"Q: SETU$13\r\nQ: SETU$13\r\nR: BD1=9600!\r\n"_s + QString(88, u'-') + u"\r\n"_s;
    QTRY_COMPARE(form->trace().text(), trace);
    QTRY_COMPARE(form->findChild<QPlainTextEdit *>(u"ZoneReceptionTrame"_s)->toPlainText(),
        QString(trace).remove(u'\r'));
    QCOMPARE(Module1::TamponReception, QString());
    QCOMPARE(shownMessages().size(), 1);
}

// The loss is noticed inside the port's own notification, and the box runs its own event loop
// from there: the operator reads it, closes it, and carries on.
void TestFaults::lostPortIsToldInAModalBox()
{
    setOperatorMessageSink({});
    const auto restoreSink = qScopeGuard(
        [] { setOperatorMessageSink([](const QString &text) { shownMessages() << text; }); });
    auto vanishing = std::make_unique<Pty>();
    Pty fresh;
    QVERIFY(vanishing->isValid() && fresh.isValid());
    const QString lost = vanishing->slavePath();
    mapPort(1, lost);
    mapPort(2, fresh.slavePath());
    Principale *form = shownWindow();
    QVERIFY(form);
    form->portOption(1)->setChecked(true);

    struct Shown
    {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QWidget *over = nullptr;
        bool modal = false;
    };
    QList<Shown> boxes;
    QTimer reader;
    connect(&reader, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        boxes << Shown { box->windowTitle(), box->text(), box->icon(), box->parentWidget(),
            box->isModal() };
        QTest::keyClick(box, Qt::Key_Return);
    });
    reader.start(0);
    if (QGuiApplication::platformName() == u"offscreen"_s)
        QTest::ignoreMessage(QtWarningMsg, "This plugin does not support propagateSizeHints()");
    vanishing.reset();

    QTRY_COMPARE(boxes.size(), 1);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    reader.stop();
    QCOMPARE(boxes.first().title, u"Tessaly"_s);
    QVERIFY2(boxes.first().text.contains(u"COM1 (%1)"_s.arg(lost)), qPrintable(boxes.first().text));
    QCOMPARE(boxes.first().icon, QMessageBox::Warning);
    QCOMPARE(boxes.first().over, form);
    QVERIFY(boxes.first().modal);
    QVERIFY(!form->comm().PortOpen());

    form->portOption(2)->setChecked(true);
    click(form->findChild<QPushButton *>(u"LecturePort"_s));
    QCOMPARE(fresh.read(5, patience), QByteArray("SETU\r"));
    QCOMPARE(boxes.size(), 1);
}

void TestFaults::failedOpeningIsToldOnce_data()
{
    QTest::addColumn<Cause>("cause");
    QTest::addColumn<QStringList>("said"); // besides the COM number and the device
    QTest::addColumn<QStringList>("neverSaid");

    const QStringList absent { u"le périphérique n'existe pas"_s, reasonFor(ENOENT),
        u"Vérifiez le câble"_s };
    const QStringList busy { u"déjà utilisé par un autre programme"_s, u"Fermez ce programme"_s };
    const QStringList group { u"groupe"_s };
    QTest::newRow("absent device") << Cause::Absent << absent << group;
    QTest::newRow("link to an unplugged adapter") << Cause::DanglingLink << absent << group;
    const QString listPorts = u"« tessaly --list-ports »"_s;
    QTest::newRow("not a serial line")
        << Cause::NotATerminal << QStringList { reasonFor(ENOTTY), listPorts } << group;
    // What COM2 meets on a PC whose /dev/ttyS1 has no serial port behind it.
    QTest::newRow("serial device with no port behind it")
        << Cause::NoHardware << QStringList { u"%reason"_s, listPorts, u"--port"_s } << group;
    QTest::newRow("held exclusively") << Cause::HeldExclusively << busy << group;
    QTest::newRow("lock file held") << Cause::LockFileHeld << busy << group;
    QTest::newRow("lock file held for ten minutes") << Cause::LockFileHeldLong << busy << group;
    QTest::newRow("UUCP lock file of another program") << Cause::UucpLockFile << busy << group;
    QTest::newRow("UUCP lock on the device behind a link")
        << Cause::UucpLockBehindLink << busy << group;
    QTest::newRow("flock held, as picocom does") << Cause::Flocked << busy << group;
    QTest::newRow("no access") << Cause::NoAccess
                               << QStringList { u"accès refusé"_s,
                                      u"appartenir au groupe « %group »"_s,
                                      u"sudo adduser $USER %group"_s, u"reconnectez-vous"_s }
                               << QStringList();
    // The device cannot even be looked at, so no group can be named for it.
    QTest::newRow("no access to its directory")
        << Cause::DirectoryClosed << QStringList { reasonFor(EACCES), listPorts } << group;
}

void TestFaults::failedOpeningIsToldOnce()
{
    QFETCH(Cause, cause);
    QFETCH(QStringList, said);
    QFETCH(QStringList, neverSaid);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Pty held;
    QVERIFY(held.isValid());
    QString device = held.slavePath();
    int exclusive = -1;
    const auto release = qScopeGuard([&] {
        if (exclusive >= 0)
            ::close(exclusive);
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    std::unique_ptr<QLockFile> lock;
    QString uucpLock;
    const auto removeUucpLock = qScopeGuard([&] {
        if (!uucpLock.isEmpty())
            QFile::remove(uucpLock);
    });
    QString asNobody; // the child's row, when only an unprivileged user shows the fault

    switch (cause) {
    case Cause::Absent:
        device = dir.filePath(u"ttyUSB0"_s);
        break;
    case Cause::DanglingLink:
        device = dir.filePath(u"com3"_s);
        QVERIFY(QFile::link(dir.filePath(u"ttyUSB9"_s), device));
        break;
    case Cause::NotATerminal: {
        device = dir.filePath(u"notes.txt"_s);
        QFile file(device);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a line\n");
        break;
    }
    case Cause::NoHardware: {
        // The last minor of the 8250 driver's ttyS range: registered, with no port behind it.
        device = dir.filePath(u"ttyS31"_s);
        const QByteArray path = QFile::encodeName(device);
        if (::mknod(path.constData(), S_IFCHR | 0600, makedev(4, 95)) != 0)
            QSKIP("no device node can be made here (root with CAP_MKNOD is needed)");
        const int probe = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const int error = errno;
        if (probe >= 0)
            ::close(probe);
        if (probe >= 0 || (error != ENXIO && error != EIO && error != ENODEV))
            QSKIP("ttyS31 does not fail here as a port with no hardware does");
        said.replaceInStrings(u"%reason"_s, reasonFor(error));
        break;
    }
    case Cause::HeldExclusively:
        if (!holdExclusively(device, &exclusive)) {
            if (::geteuid() != 0)
                QSKIP("TIOCEXCL does not bind this process");
            asNobody = QString::fromLatin1(QTest::currentDataTag());
            device.clear();
        }
        break;
    case Cause::LockFileHeld:
    case Cause::LockFileHeldLong: {
        lock = std::make_unique<QLockFile>(lockFileFor(device));
        QVERIFY(lock->tryLock(0));
        if (cause == Cause::LockFileHeldLong) {
            const timeval tenMinutesAgo { ::time(nullptr) - 600, 0 };
            const timeval times[] = { tenMinutesAgo, tenMinutesAgo };
            QCOMPARE(::utimes(QFile::encodeName(lock->fileName()).constData(), times), 0);
        }
        break;
    }
    case Cause::UucpLockFile:
    case Cause::UucpLockBehindLink: {
        // The HDB format minicom, cu and lockdev write: the holder's number in ten columns.
        // The parent process stands for the holder: it is alive and it is not this one.
        uucpLock = lockFileFor(device);
        QFile file(uucpLock);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::NewOnly));
        file.write(QByteArray::number(::getppid()).rightJustified(10, ' ') + '\n');
        file.close();
        if (cause == Cause::UucpLockBehindLink) {
            const QString link = dir.filePath(u"by-id-usb-com3"_s);
            QVERIFY(QFile::link(device, link));
            device = link;
        }
        break;
    }
    case Cause::Flocked:
        exclusive = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(exclusive >= 0);
        QCOMPARE(::flock(exclusive, LOCK_EX | LOCK_NB), 0);
        break;
    case Cause::NoAccess:
        if (::geteuid() == 0) {
            // As on a desktop: the line belongs to dialout, and the operator is not in it.
            const group *dialout = ::getgrnam("dialout");
            QVERIFY2(dialout, "no dialout group");
            const QByteArray path = QFile::encodeName(device);
            QCOMPARE(::chown(path.constData(), 0, dialout->gr_gid), 0);
            QCOMPARE(::chmod(path.constData(), 0660), 0);
            asNobody = QString::fromLatin1(QTest::currentDataTag());
        } else {
            QCOMPARE(::chmod(QFile::encodeName(device).constData(), 0), 0);
        }
        said.replaceInStrings(u"%group"_s, QFileInfo(device).group());
        break;
    case Cause::DirectoryClosed: {
        const QString link = dir.filePath(u"com3"_s);
        QVERIFY(QFile::link(device, link));
        QCOMPARE(::chmod(QFile::encodeName(device).constData(), 0666), 0);
        device = link;
        if (::geteuid() == 0)
            asNobody = QString::fromLatin1(QTest::currentDataTag()); // the directory is 0700
        else
            QVERIFY(QFile::setPermissions(dir.path(), {}));
        break;
    }
    }

    Attempt attempt;
    if (asNobody.isEmpty()) {
        attempt = failThenUseAnother(device);
    } else {
        const ChildRun run = runAsNobody(asNobody, device);
        if (!run.started)
            QSKIP(qPrintable(u"cannot run the test as nobody: "_s + run.errors));
        QVERIFY2(run.finishedCleanly, qPrintable(run.errors));
        attempt = Attempt::fromJson(run.result);
        if (device.isEmpty())
            device = attempt.device;
    }
    if (!attempt.freshPort)
        QSKIP("no pseudo-terminal to recover on");

    QCOMPARE(attempt.messages.size(), 1);
    const QString message = attempt.messages.first();
    QVERIFY2(message.contains(u"COM%1 (%2)"_s.arg(failingCom).arg(device)), qPrintable(message));
    for (const QString &part : std::as_const(said))
        QVERIFY2(message.contains(part), qPrintable(part + u" not in: "_s + message));
    for (const QString &part : std::as_const(neverSaid))
        QVERIFY2(!message.contains(part), qPrintable(part + u" in: "_s + message));
    QCOMPARE(attempt.selected, 0);
    QVERIFY(!attempt.portOpen);

    QCOMPARE(attempt.sentAfterwards, QByteArray("SETU\r"));
    QCOMPARE(attempt.trace, u"Q: SETU$13\r\n"_s);
    QCOMPARE(attempt.messagesInAll, 1);
    if (lock)
        QVERIFY2(QFileInfo::exists(lock->fileName()), "the holder's lock file was taken away");
    if (!uucpLock.isEmpty())
        QVERIFY2(QFileInfo::exists(uucpLock), "the holder's lock file was taken away");
}

void TestFaults::commandWithoutPortIsTracedNotWritten_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<int>("earlierMessages");

    QTest::newRow("no option selected yet") << u"nothing"_s << 0;
    QTest::newRow("after a failed opening") << u"failed opening"_s << 1;
    QTest::newRow("after the port was lost") << u"lost port"_s << 1;
}

void TestFaults::commandWithoutPortIsTracedNotWritten()
{
    QFETCH(QString, before);
    QFETCH(int, earlierMessages);

    QTemporaryDir dir;
    Pty com1;
    Pty com2;
    QVERIFY(dir.isValid() && com1.isValid() && com2.isValid());
    mapPort(1, com1.slavePath());
    mapPort(2, com2.slavePath());
    mapPort(4, dir.filePath(u"ttyUSB0"_s));
    Principale *form = shownWindow();
    QVERIFY(form);

    if (before == u"failed opening"_s) {
        form->portOption(1)->setChecked(true);
        form->portOption(4)->setChecked(true);
    } else if (before == u"lost port"_s) {
        form->portOption(1)->setChecked(true);
        com1.closeMaster();
        QTRY_VERIFY(!form->comm().PortOpen());
    }
    QCOMPARE(shownMessages().size(), earlierMessages);

    click(form->findChild<QPushButton *>(u"LecturePort"_s));
    QCOMPARE(shownMessages().size(), earlierMessages + 1);
    const QString message = shownMessages().last();
    QVERIFY2(message.contains(u"Aucun port COM du PC n'est ouvert"_s), qPrintable(message));
    QVERIFY2(message.contains(u"n'a pas été envoyée"_s), qPrintable(message));
    QCOMPARE(form->trace().text(), u"Q: SETU$13\r\n"_s);

    // The first bytes either line carries afterwards are the next command's, whole.
    form->portOption(2)->setChecked(true);
    click(form->findChild<QPushButton *>(u"LectureST"_s));
    QCOMPARE(com2.read(3, patience), QByteArray("ST\r"));
    QCOMPARE(com1.readAvailable(), QByteArray());
    QCOMPARE(form->trace().text(), u"Q: SETU$13\r\nQ: ST$13\r\n"_s);
    QCOMPARE(shownMessages().size(), earlierMessages + 1);
}

void TestFaults::overlongCommandIsRefused_data()
{
    QTest::addColumn<int>("pasted");
    QTest::addColumn<int>("kept"); // what the box holds of it
    QTest::addColumn<bool>("sent");

    const qsizetype around = (commands::identificationPrefix() + u"SETU"_s
        + commands::portClause(u"PROT"_s, u"1"_s, QString()))
                                 .size();
    const int longest = int(Module1::maxCommandLength - around);
    QTest::newRow("longest that fits") << longest << longest << true;
    QTest::newRow("one character more") << longest + 1 << longest + 1 << false;
    QTest::newRow("more than the box holds") << 40000 << 32767 << false;
}

void TestFaults::overlongCommandIsRefused()
{
    QFETCH(int, pasted);
    QFETCH(int, kept);
    QFETCH(bool, sent);

    Pty com1;
    QVERIFY(com1.isValid());
    mapPort(1, com1.slavePath());
    Principale *form = shownWindow();
    QVERIFY(form);
    form->portOption(1)->setChecked(true);
    auto *protocol = form->findChild<QComboBox *>(u"Protocole"_s);
    auto *validation = form->findChild<QPushButton *>(u"ValidationPortDecodeur"_s);
    click(form->findChild<QCheckBox *>(u"CheckProtocole"_s));

    const auto typeProtocol = [&](const QString &text, bool paste) {
        click(protocol->lineEdit());
        QTest::keyClick(protocol->lineEdit(), Qt::Key_A, Qt::ControlModifier);
        if (paste) {
            QGuiApplication::clipboard()->setText(text);
            QTest::keyClick(protocol->lineEdit(), Qt::Key_V, Qt::ControlModifier);
        } else {
            QTest::keyClicks(protocol->lineEdit(), text);
        }
    };
    const auto line = [](const QString &typed) {
        return (commands::identificationPrefix() + u"SETU"_s
            + commands::portClause(u"PROT"_s, u"1"_s, typed) + u'\r')
            .toLatin1();
    };

    typeProtocol(QString(pasted, u'x'), true);
    QCOMPARE(protocol->currentText().size(), kept);
    click(validation);
    if (sent) {
        const QByteArray expected = line(protocol->currentText());
        QCOMPARE(expected.size(), Module1::maxCommandLength + 1);
        QCOMPARE(com1.read(int(expected.size()), patience), expected);
        QCOMPARE(form->trace().text(),
            u"Q: "_s + QString::fromLatin1(expected.chopped(1)) + u"$13\r\n"_s);
        QVERIFY(shownMessages().isEmpty());
        return;
    }
    QCOMPARE(shownMessages().size(), 1);
    const QString message = shownMessages().first();
    QVERIFY2(message.contains(u"Commande trop longue"_s), qPrintable(message));
    QVERIFY2(message.contains(QString::number(Module1::maxCommandLength)), qPrintable(message));
    QCOMPARE(form->trace().text(), QString());

    typeProtocol(u"M"_s, false);
    click(validation);
    QCOMPARE(com1.read(int(line(u"M"_s).size()), patience), line(u"M"_s));
    QCOMPARE(form->trace().text(),
        u"Q: "_s + QString::fromLatin1(line(u"M"_s).chopped(1)) + u"$13\r\n"_s);
    QCOMPARE(shownMessages().size(), 1);
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    setOperatorMessageSink([](const QString &text) { shownMessages() << text; });
    if (argc == 4 && childFlag == argv[1])
        return runChild(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    TestFaults test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faults.moc"
