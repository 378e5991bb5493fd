#include "link/portlist.h"
#include "link/portmap.h"
#include "link/serialcontrol.h"
#include "support/pty.h"
#include "ui/forms.h"
#include "ui/startup/commandline.h"
#include "ui/startup/frmsplash.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHelpEvent>
#include <QListWidget>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString ftdiName = QStringLiteral("usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");

bool makeFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly);
}

// The section of a listing between two headings, each line without its indent.
QStringList section(const QString &listing, const QString &heading, const QString &next)
{
    QStringList lines = listing.split(QLatin1Char('\n'));
    const qsizetype from = lines.indexOf(heading);
    const qsizetype to = next.isEmpty() ? lines.size() : lines.indexOf(next);
    if (from < 0 || to < from)
        return { QStringLiteral("headings missing from:\n") + listing };
    lines = lines.mid(from + 1, to - from - 1);
    for (QString &line : lines)
        line = line.trimmed();
    lines.removeAll(QString());
    return lines;
}

} // namespace

class TestPorts : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void listPortsOption_data();
    void listPortsOption();
    void listingUnderTheCommandLine_data();
    void listingUnderTheCommandLine();
    void listsPortsInNaturalOrder();
    void listingWithNoPort();
    void stableName_data();
    void stableName();
    void resolve_data();
    void resolve();
    void opensThroughAStableName();
    void choixPortToolTips_data();
    void choixPortToolTips();
    void toolTipFollowsThePorts();

private:
    QString expand(QString text) const;
    QStringList expand(const QStringList &texts) const;
    PortList systemPorts() const;

    QTemporaryDir m_dir;
    QString m_root;
    QString m_byId;
    std::unique_ptr<Pty> m_pty;
    std::unique_ptr<Pty> m_otherPty;
};

void TestPorts::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_root = QFileInfo(m_dir.path()).canonicalFilePath();
    m_byId = m_root + QStringLiteral("/by-id");
    QVERIFY(QDir(m_root).mkdir(QStringLiteral("by-id")));
    for (const char *device : { "ttyS0", "ttyS2", "ttyS10", "ttyUSB0" })
        QVERIFY(makeFile(m_root + QLatin1Char('/') + QLatin1String(device)));
    // As udev makes them: relative to the by-id directory.
    QVERIFY(QFile::link(QStringLiteral("../ttyUSB0"), m_byId + QLatin1Char('/') + ftdiName));
    QVERIFY(QFile::link(QStringLiteral("../gone"), m_byId + QStringLiteral("/usb-unplugged")));

    m_pty = std::make_unique<Pty>();
    m_otherPty = std::make_unique<Pty>();
    QVERIFY(m_pty->isValid());
    QVERIFY(m_otherPty->isValid());
    QVERIFY(QFile::link(m_pty->slavePath(), m_root + QStringLiteral("/ksl")));
}

void TestPorts::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
}

void TestPorts::cleanup()
{
    if (frmSplash *splash = frmSplash::ifLoaded())
        splash->close();
    QTRY_COMPARE(Forms::instance().loadedCount(), 0);
    SerialControl::setPortMap(PortMap());
    QFile::remove(m_root + QStringLiteral("/late"));
}

QString TestPorts::expand(QString text) const
{
    return text.replace(QStringLiteral("{byid}"), m_byId + QLatin1Char('/') + ftdiName)
        .replace(QStringLiteral("{root}"), m_root)
        .replace(QStringLiteral("{pty}"), m_pty->slavePath())
        .replace(QStringLiteral("{otherpty}"), m_otherPty->slavePath());
}

QStringList TestPorts::expand(const QStringList &texts) const
{
    QStringList out;
    for (const QString &text : texts)
        out << expand(text);
    return out;
}

// Stand-ins for the ports a system lists: files in the test's directory.
PortList TestPorts::systemPorts() const
{
    return PortList({ { m_root + QStringLiteral("/ttyUSB0"), QStringLiteral("FTDI"),
                          QStringLiteral("FT232R USB UART") },
                        { m_root + QStringLiteral("/ttyS10"), {}, {} },
                        { m_root + QStringLiteral("/ttyS0"), {}, {} },
                        { m_root + QStringLiteral("/ttyS2"), {}, {} } },
        m_byId);
}

void TestPorts::listPortsOption_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<CommandLine::Outcome>("outcome");

    QTest::newRow("alone") << QStringList({ "--list-ports" }) << CommandLine::Outcome::ListPorts;
    QTest::newRow("after --port") << QStringList({ "--port", "1=/dev/ttyUSB0", "--list-ports" })
                                  << CommandLine::Outcome::ListPorts;
    QTest::newRow("before --port") << QStringList({ "--list-ports", "--port", "1=/dev/ttyUSB0" })
                                   << CommandLine::Outcome::ListPorts;
    // A listing under a mapping the program would refuse would show what never opens.
    QTest::newRow("with a wrong --port")
        << QStringList({ "--list-ports", "--port", "6=/dev/ttyUSB0" })
        << CommandLine::Outcome::Error;
    QTest::newRow("with a stray argument")
        << QStringList({ "--list-ports", "/dev/ttyUSB0" }) << CommandLine::Outcome::Error;
    QTest::newRow("with --help") << QStringList({ "--list-ports", "--help" })
                                 << CommandLine::Outcome::Help;
}

void TestPorts::listPortsOption()
{
    QFETCH(QStringList, arguments);
    QFETCH(CommandLine::Outcome, outcome);

    CommandLine commandLine;
    QCOMPARE(commandLine.parse(QStringList { QStringLiteral("tessaly") } + arguments), outcome);
    QVERIFY(commandLine.helpText().contains(QLatin1String("--list-ports")));
}

void TestPorts::listingUnderTheCommandLine_data()
{
    QTest::addColumn<QStringList>("mappings");
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<QStringList>("coms");

    const QString s0 = QStringLiteral("{root}/ttyS0 ; aucun port COM");
    const QString s2 = QStringLiteral("{root}/ttyS2 ; aucun port COM");
    const QString s10 = QStringLiteral("{root}/ttyS10 ; aucun port COM");
    const QString usbTail = QStringLiteral(" ; nom stable : {byid} ; fabricant : FTDI ; produit : "
                                           "FT232R USB UART");
    const QString usb = QStringLiteral("{root}/ttyUSB0 ; aucun port COM") + usbTail;

    QTest::newRow("nothing mapped")
        << QStringList() << QStringList({ s0, s2, s10, usb }) << QStringList();
    QTest::newRow("a listed device")
        << QStringList({ "3={root}/ttyS2" }) << QStringList({ s0, "{root}/ttyS2 ; COM3", s10, usb })
        << QStringList({ "COM3 : {root}/ttyS2" });
    QTest::newRow("its stable name")
        << QStringList({ "1={byid}" })
        << QStringList({ s0, s2, s10, "{root}/ttyUSB0 ; COM1" + usbTail })
        << QStringList({ "COM1 : {byid} → {root}/ttyUSB0 (FTDI FT232R USB UART)" });
    QTest::newRow("one device under two names")
        << QStringList({ "4={byid}", "1={root}/ttyUSB0" })
        << QStringList({ s0, s2, s10, "{root}/ttyUSB0 ; COM1, COM4" + usbTail })
        << QStringList({ "COM1 : {root}/ttyUSB0 (FTDI FT232R USB UART)",
               "COM4 : {byid} → {root}/ttyUSB0 (FTDI FT232R USB UART)" });
    QTest::newRow("a pseudo-terminal")
        << QStringList({ "2={pty}" })
        << QStringList({ s0, s2, s10, usb, "{pty} ; COM2 ; associé par --port" })
        << QStringList({ "COM2 : {pty}" });
    QTest::newRow("a pseudo-terminal through a link")
        << QStringList({ "1={root}/ksl" })
        << QStringList({ s0, s2, s10, usb, "{pty} ; COM1 ; associé par --port" })
        << QStringList({ "COM1 : {root}/ksl → {pty}" });
    QTest::newRow("a pseudo-terminal under two numbers")
        << QStringList({ "5={root}/ksl", "2={pty}" })
        << QStringList({ s0, s2, s10, usb, "{pty} ; COM2, COM5 ; associé par --port" })
        << QStringList({ "COM2 : {pty}", "COM5 : {root}/ksl → {pty}" });
    QTest::newRow("two pseudo-terminals")
        << QStringList({ "1={pty}", "3={otherpty}" })
        << QStringList({ s0, s2, s10, usb, "{pty} ; COM1 ; associé par --port",
               "{otherpty} ; COM3 ; associé par --port" })
        << QStringList({ "COM1 : {pty}", "COM3 : {otherpty}" });
    QTest::newRow("an absent device")
        << QStringList({ "5={root}/gone" }) << QStringList({ s0, s2, s10, usb })
        << QStringList({ "COM5 : {root}/gone (absent)" });
    QTest::newRow("a link that leads nowhere")
        << QStringList({ "2={root}/by-id/usb-unplugged" }) << QStringList({ s0, s2, s10, usb })
        << QStringList({ "COM2 : {root}/by-id/usb-unplugged (absent)" });
}

void TestPorts::listingUnderTheCommandLine()
{
    QFETCH(QStringList, mappings);
    QFETCH(QStringList, ports);
    QFETCH(QStringList, coms);

    QStringList arguments { QStringLiteral("tessaly") };
    for (const QString &mapping : std::as_const(mappings))
        arguments << QStringLiteral("--port") << expand(mapping);
    arguments << QStringLiteral("--list-ports");
    CommandLine commandLine;
    QCOMPARE(commandLine.parse(arguments), CommandLine::Outcome::ListPorts);

    const QString listing = systemPorts().listing(commandLine.portMap());
    QVERIFY(listing.endsWith(QLatin1Char('\n')));
    QStringList listed
        = section(listing, QStringLiteral("Ports série de cet ordinateur :"), "Ports COM :");
    QStringList expected = expand(ports);
    // The order is natural device order, checked on its own; pseudo-terminals fall where /dev
    // sorts against the temporary directory.
    listed.sort();
    expected.sort();
    QCOMPARE(listed, expected);

    const QStringList comLines = section(listing, QStringLiteral("Ports COM :"), QString());
    QCOMPARE(comLines.size(), 5);
    for (int com = 1; com <= 5; ++com)
        QVERIFY2(comLines.at(com - 1).startsWith(QStringLiteral("COM%1 : ").arg(com)),
            qPrintable(comLines.at(com - 1)));
    for (const QString &line : expand(coms))
        QVERIFY2(comLines.contains(line), qPrintable(line + QStringLiteral(" not in\n") + listing));
}

void TestPorts::listsPortsInNaturalOrder()
{
    QList<PortList::Port> ports;
    for (const char *name : { "ttyUSB1", "ttyS10", "ttyS2", "ttyACM0", "ttyS0", "ttyUSB10" })
        ports.append({ m_root + QStringLiteral("/none/") + QLatin1String(name), {}, {} });
    const QStringList lines = section(PortList(ports, QString()).listing(PortMap()),
        QStringLiteral("Ports série de cet ordinateur :"), QStringLiteral("Ports COM :"));
    QStringList devices;
    for (const QString &line : lines)
        devices << line.section(QStringLiteral(" ; "), 0, 0).section(QLatin1Char('/'), -1);
    QCOMPARE(
        devices, QStringList({ "ttyACM0", "ttyS0", "ttyS2", "ttyS10", "ttyUSB1", "ttyUSB10" }));
}

void TestPorts::listingWithNoPort()
{
    PortMap map;
    for (int com = 1; com <= 5; ++com)
        map.map(com, m_root + QStringLiteral("/none%1").arg(com));
    const QString listing = PortList({}, QString()).listing(map);
    QCOMPARE(section(listing, QStringLiteral("Ports série de cet ordinateur :"), "Ports COM :"),
        QStringList({ "aucun port série trouvé" }));
    QCOMPARE(section(listing, QStringLiteral("Ports COM :"), QString()).constFirst(),
        QStringLiteral("COM1 : %1/none1 (absent)").arg(m_root));
}

void TestPorts::stableName_data()
{
    QTest::addColumn<QStringList>("entries"); // "name>target" is a link, "name" a plain file
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("expected");

    QTest::newRow("relative link") << QStringList({ "usb-A>../../dev/ttyUSB0" }) << "{dev}/ttyUSB0"
                                   << "{byid}/usb-A";
    QTest::newRow("absolute link") << QStringList({ "usb-A>{dev}/ttyUSB0" }) << "{dev}/ttyUSB0"
                                   << "{byid}/usb-A";
    QTest::newRow("link to another device")
        << QStringList({ "usb-A>../../dev/ttyUSB1" }) << "{dev}/ttyUSB0"
        << "";
    QTest::newRow("link that leads nowhere")
        << QStringList({ "usb-A>../../dev/gone", "usb-B>../../dev/ttyUSB0" }) << "{dev}/gone"
        << "";
    QTest::newRow("two names, the first in name order")
        << QStringList({ "usb-B>../../dev/ttyUSB0", "usb-A>../../dev/ttyUSB0" }) << "{dev}/ttyUSB0"
        << "{byid}/usb-A";
    QTest::newRow("asked under the stable name itself")
        << QStringList({ "usb-A>../../dev/ttyUSB0" }) << "{byid}/usb-A"
        << "{byid}/usb-A";
    QTest::newRow("asked through another link")
        << QStringList({ "usb-A>../../dev/ttyUSB0", "../ksl>{dev}/ttyUSB0" }) << "{base}/serial/ksl"
        << "{byid}/usb-A";
    QTest::newRow("a plain file is no stable name") << QStringList({ "usb-A" }) << "{byid}/usb-A"
                                                    << "";
    QTest::newRow("no by-id directory") << QStringList() << "{dev}/ttyUSB0"
                                        << "";
}

void TestPorts::stableName()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, device);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString base = QFileInfo(dir.path()).canonicalFilePath();
    const QString devDir = base + QStringLiteral("/dev");
    const QString byIdDir = base + QStringLiteral("/serial/by-id");
    QVERIFY(QDir().mkpath(devDir));
    QVERIFY(makeFile(devDir + QStringLiteral("/ttyUSB0")));
    QVERIFY(makeFile(devDir + QStringLiteral("/ttyUSB1")));
    if (!entries.isEmpty())
        QVERIFY(QDir().mkpath(byIdDir));
    const auto fill = [&](QString text) {
        return text.replace(QStringLiteral("{dev}"), devDir)
            .replace(QStringLiteral("{byid}"), byIdDir)
            .replace(QStringLiteral("{base}"), base);
    };
    for (const QString &entry : std::as_const(entries)) {
        const QString path = byIdDir + QLatin1Char('/') + entry.section(QLatin1Char('>'), 0, 0);
        if (entry.contains(QLatin1Char('>')))
            QVERIFY(QFile::link(fill(entry.section(QLatin1Char('>'), 1)), path));
        else
            QVERIFY(makeFile(path));
    }

    const PortList ports({}, byIdDir);
    QCOMPARE(ports.stableName(fill(device)), fill(expected));
}

void TestPorts::resolve_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("resolved");
    QTest::addColumn<bool>("exists");

    QTest::newRow("a device") << "{pty}"
                              << "{pty}" << true;
    QTest::newRow("a link") << "{root}/ksl"
                            << "{pty}" << true;
    QTest::newRow("a relative link") << "{byid}"
                                     << "{root}/ttyUSB0" << true;
    QTest::newRow("a link that leads nowhere") << "{root}/by-id/usb-unplugged"
                                               << "{root}/by-id/usb-unplugged" << false;
    QTest::newRow("an absent path") << "{root}/gone"
                                    << "{root}/gone" << false;
    // The serial port opens a bare name under /dev.
    QTest::newRow("a bare name") << "tessaly-absent"
                                 << "/dev/tessaly-absent" << false;
}

void TestPorts::resolve()
{
    QFETCH(QString, device);
    QFETCH(QString, resolved);
    QFETCH(bool, exists);

    QCOMPARE(PortMap::resolve(expand(device)), expand(resolved));
    QCOMPARE(PortMap::existsAt(expand(device)), exists);
    PortMap map;
    map.map(2, expand(device));
    QCOMPARE(map.openPath(2), expand(resolved));
    QCOMPARE(map.device(2), expand(device));
}

void TestPorts::opensThroughAStableName()
{
    const QString stable = m_byId + QStringLiteral("/usb-Lumeral_KSL_4820-if00");
    QVERIFY(QFile::link(m_pty->slavePath(), stable));
    PortMap map;
    map.map(1, stable);
    SerialControl::setPortMap(map);

    SerialControl control;
    QVERIFY(control.setCommPort(1));
    QVERIFY(control.setPortOpen(true));
    QCOMPARE(control.devicePath(), stable);
    QVERIFY(control.Output(QByteArrayLiteral("ST\r")));
    QCOMPARE(m_pty->read(3), QByteArrayLiteral("ST\r"));
    control.setPortOpen(false);
    QVERIFY(QFile::remove(stable));
}

void TestPorts::choixPortToolTips_data()
{
    QTest::addColumn<int>("com");
    QTest::addColumn<QString>("toolTip");

    QTest::newRow("a pseudo-terminal") << 1 << "COM1 : {pty}";
    QTest::newRow("a stable name") << 2 << "COM2 : {byid} → {root}/ttyUSB0";
    QTest::newRow("an absent device") << 3 << "COM3 : {root}/late (absent)";
    QTest::newRow("a link") << 4 << "COM4 : {root}/ksl → {pty}";
    QTest::newRow("another pseudo-terminal") << 5 << "COM5 : {otherpty}";
}

void TestPorts::choixPortToolTips()
{
    QFETCH(int, com);
    QFETCH(QString, toolTip);

    PortMap map;
    for (const char *mapping :
        { "1={pty}", "2={byid}", "3={root}/late", "4={root}/ksl", "5={otherpty}" })
        QVERIFY(map.parse(expand(QString::fromUtf8(mapping)), nullptr));
    SerialControl::setPortMap(map);

    const QListWidget *list = frmSplash::form()->ChoixPort();
    const QListWidgetItem *item = list->item(com - 1);
    QVERIFY(item);
    QCOMPARE(item->text(), QString::number(com));
    QTRY_COMPARE(item->toolTip(), expand(toolTip));
    QCOMPARE(
        item->data(Qt::AccessibleTextRole).toString(), QStringLiteral("Port COM%1 du PC").arg(com));
}

void TestPorts::toolTipFollowsThePorts()
{
    PortMap map;
    map.map(3, m_root + QStringLiteral("/late"));
    SerialControl::setPortMap(map);
    QListWidget *list = frmSplash::form()->ChoixPort();
    QTRY_COMPARE(list->item(2)->toolTip(), expand(QStringLiteral("COM3 : {root}/late (absent)")));

    // The adapter is plugged in while the start-up window waits.
    QVERIFY(makeFile(m_root + QStringLiteral("/late")));
    QHelpEvent help(QEvent::ToolTip, QPoint(-1, -1), list->viewport()->mapToGlobal(QPoint(-1, -1)));
    QCoreApplication::sendEvent(list->viewport(), &help);
    QCOMPARE(list->item(2)->toolTip(), expand(QStringLiteral("COM3 : {root}/late")));
}

QTEST_MAIN(TestPorts)
#include "tst_ports.moc"
