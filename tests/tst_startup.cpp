#include "link/serialcontrol.h"
#include "support/pty.h"
#include "ui/forms.h"
#include "ui/main/principale.h"
#include "ui/operatormessage.h"
#include "ui/startup/commandline.h"
#include "ui/startup/frmsplash.h"

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include <array>
#include <memory>

class TestStartup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void loadShowsVersionAndPortChoice();
    void opensCentredWithTheLogoFocused();
    void everyCaptionIsWhole();
    void keyOpensTheChosenPort_data();
    void keyOpensTheChosenPort();
    void keyIsSeenBeforeTheList();
    void keyOnAPortThatCannotOpen();
    void keysWithoutCharacterOnlyMoveTheList_data();
    void keysWithoutCharacterOnlyMoveTheList();
    void tabOnlyMovesTheFocus();
    void aChosenPortStaysChosen();
    void frameClickShowsMainWindowWithoutPort();
    void clickOnAControlInsideTheFrameIsNotTheFrames_data();
    void clickOnAControlInsideTheFrameIsNotTheFrames();
    void programEndsWhenNoFormIsLoaded();
    void loadedHiddenWindowKeepsTheProgram();

    void commandLineMapsPorts_data();
    void commandLineMapsPorts();
    void commandLineRefuses_data();
    void commandLineRefuses();
    void commandLineHelpAndVersion_data();
    void commandLineHelpAndVersion();

private:
    frmSplash *openSplash();
    QString ptyPath(int com) const { return m_ptys[com - 1]->slavePath(); }
    static SerialControl &mscomm() { return Principale::ifLoaded()->comm(); }
    static int checkedOption();

    std::array<std::unique_ptr<Pty>, 5> m_ptys;
    QStringList m_told;
    static constexpr int absentCom = 4;
    static inline const QString absentDevice = QStringLiteral("/dev/tessaly-absent");
};

void TestStartup::initTestCase()
{
    PortMap map;
    for (int com = 1; com <= 5; ++com) {
        m_ptys[com - 1] = std::make_unique<Pty>();
        QVERIFY(m_ptys[com - 1]->isValid());
        map.map(com, com == absentCom ? absentDevice : ptyPath(com));
    }
    SerialControl::setPortMap(map);
    setOperatorMessageSink([this](const QString &text) { m_told << text; });
}

void TestStartup::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
}

void TestStartup::cleanup()
{
    if (Principale *main = Principale::ifLoaded())
        main->close();
    if (frmSplash *splash = frmSplash::ifLoaded())
        splash->close();
    QTRY_COMPARE(Forms::instance().loadedCount(), 0);
    for (const auto &pty : m_ptys)
        pty->readAvailable();
    m_told.clear();
}

void TestStartup::cleanupTestCase()
{
    setOperatorMessageSink({});
}

frmSplash *TestStartup::openSplash()
{
    frmSplash *splash = frmSplash::form();
    // Qt raises a tool window as it shows it, which the offscreen platform cannot do.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        QTest::ignoreMessage(QtWarningMsg, "This plugin does not support raise()");
    splash->show();
    if (!QTest::qWaitForWindowActive(splash))
        return nullptr;
    return splash;
}

int TestStartup::checkedOption()
{
    int checked = 0;
    for (int n = 1; n <= 5; ++n) {
        if (Principale::ifLoaded()->portOption(n)->isChecked()) {
            if (checked)
                return -1;
            checked = n;
        }
    }
    return checked;
}

void TestStartup::loadShowsVersionAndPortChoice()
{
    frmSplash *splash = frmSplash::form();
    QCOMPARE(splash->findChild<QLabel *>(QStringLiteral("lblVersion"))->text(),
        QStringLiteral("Version 1.0.0"));
    QListWidget *list = splash->ChoixPort();
    QStringList items;
    for (int row = 0; row < list->count(); ++row)
        items << list->item(row)->text();
    QCOMPARE(items, QStringList({ "1", "2", "3", "4", "5" }));
    QCOMPARE(list->selectedItems().size(), 1);
    QCOMPARE(list->selectedItems().constFirst()->text(), QStringLiteral("1"));
    QVERIFY(!Principale::ifLoaded());
}

void TestStartup::opensCentredWithTheLogoFocused()
{
    frmSplash *splash = openSplash();
    QVERIFY(splash);
    QCOMPARE(splash->size(), QSize(492, 283));
    QCOMPARE(splash->frameGeometry().center(), splash->screen()->availableGeometry().center());
    QCOMPARE(QApplication::focusWidget(), splash->findChild<QWidget *>(QStringLiteral("Picture1")));
}

void TestStartup::everyCaptionIsWhole()
{
    frmSplash *splash = openSplash();
    QVERIFY(splash);
    const auto labels = splash->findChildren<QLabel *>();
    for (const QLabel *label : labels) {
        if (label->text().isEmpty())
            continue;
        QVERIFY2(label->parentWidget()->rect().contains(label->geometry()),
            qPrintable(label->objectName()));
        QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->objectName()));
    }
}

void TestStartup::keyOpensTheChosenPort_data()
{
    QTest::addColumn<Qt::Key>("key");
    QTest::addColumn<bool>("listFocused");

    QTest::newRow("Return") << Qt::Key_Return << false;
    QTest::newRow("keypad Enter") << Qt::Key_Enter << false;
    QTest::newRow("letter") << Qt::Key_A << false;
    QTest::newRow("Escape") << Qt::Key_Escape << false;
    QTest::newRow("Space") << Qt::Key_Space << false;
    QTest::newRow("Backspace") << Qt::Key_Backspace << false;
    QTest::newRow("Return, list focused") << Qt::Key_Return << true;
    QTest::newRow("letter, list focused") << Qt::Key_X << true;
    QTest::newRow("Space, list focused") << Qt::Key_Space << true;
}

void TestStartup::keyOpensTheChosenPort()
{
    QFETCH(Qt::Key, key);
    QFETCH(bool, listFocused);

    QPointer<frmSplash> splash = openSplash();
    QVERIFY(splash);
    splash->ChoixPort()->setCurrentRow(2);
    if (listFocused)
        splash->ChoixPort()->setFocus();

    QTest::keyClick(splash->windowHandle(), key);

    QVERIFY(!frmSplash::ifLoaded());
    Principale *main = Principale::ifLoaded();
    QVERIFY(main);
    QVERIFY(main->isVisible());
    QVERIFY(!main->isModal());
    QVERIFY(!main->parentWidget());
    QCOMPARE(checkedOption(), 3);
    QVERIFY(mscomm().PortOpen());
    QCOMPARE(mscomm().devicePath(), ptyPath(3));
    QCOMPARE(m_told, QStringList());
    QTRY_VERIFY(!splash);
    QVERIFY(!frmSplash::ifLoaded());

    QTest::mouseClick(
        main->findChild<QPushButton *>(QStringLiteral("LecturePort")), Qt::LeftButton);
    QCOMPARE(m_ptys[2]->read(5), QByteArray("SETU\r"));
}

void TestStartup::keyIsSeenBeforeTheList()
{
    frmSplash *splash = openSplash();
    QVERIFY(splash);
    splash->ChoixPort()->setFocus();
    QCOMPARE(splash->ChoixPort()->currentItem()->text(), QStringLiteral("1"));

    QTest::keyClick(splash->windowHandle(), Qt::Key_3);

    QVERIFY(Principale::ifLoaded());
    QCOMPARE(checkedOption(), 1);
    QCOMPARE(mscomm().devicePath(), ptyPath(1));
    QVERIFY(mscomm().PortOpen());
}

void TestStartup::keyOnAPortThatCannotOpen()
{
    QPointer<frmSplash> splash = openSplash();
    QVERIFY(splash);
    splash->ChoixPort()->setCurrentRow(absentCom - 1);

    QTest::keyClick(splash->windowHandle(), Qt::Key_Return);

    QCOMPARE(m_told.size(), 1);
    QVERIFY2(m_told.constFirst().contains(absentDevice), qPrintable(m_told.constFirst()));
    QVERIFY2(m_told.constFirst().contains(QLatin1String("COM4")), qPrintable(m_told.constFirst()));
    Principale *main = Principale::ifLoaded();
    QVERIFY(main);
    QVERIFY(main->isVisible());
    QCOMPARE(checkedOption(), 0);
    QVERIFY(!mscomm().PortOpen());
    QTRY_VERIFY(!splash);
}

void TestStartup::keysWithoutCharacterOnlyMoveTheList_data()
{
    QTest::addColumn<Qt::Key>("key");
    QTest::addColumn<bool>("listFocused");
    QTest::addColumn<QString>("selected");

    QTest::newRow("Down, list focused") << Qt::Key_Down << true << "4";
    QTest::newRow("Up, list focused") << Qt::Key_Up << true << "2";
    QTest::newRow("End, list focused") << Qt::Key_End << true << "5";
    QTest::newRow("F2, list focused") << Qt::Key_F2 << true << "3";
    QTest::newRow("Down, logo focused") << Qt::Key_Down << false << "3";
    QTest::newRow("Up, logo focused") << Qt::Key_Up << false << "3";
    QTest::newRow("F5, logo focused") << Qt::Key_F5 << false << "3";
    QTest::newRow("Shift, logo focused") << Qt::Key_Shift << false << "3";
}

void TestStartup::keysWithoutCharacterOnlyMoveTheList()
{
    QFETCH(Qt::Key, key);
    QFETCH(bool, listFocused);
    QFETCH(QString, selected);

    QPointer<frmSplash> splash = openSplash();
    QVERIFY(splash);
    splash->ChoixPort()->setCurrentRow(2);
    if (listFocused)
        splash->ChoixPort()->setFocus();

    QTest::keyClick(splash->windowHandle(), key);
    QCoreApplication::processEvents();

    QCOMPARE(splash->ChoixPort()->currentItem()->text(), selected);
    QCOMPARE(splash->ChoixPort()->selectedItems().size(), 1);
    QVERIFY(!Principale::ifLoaded());
    QVERIFY(splash && splash->isVisible());
}

void TestStartup::tabOnlyMovesTheFocus()
{
    frmSplash *splash = openSplash();
    QVERIFY(splash);
    QWidget *picture = splash->findChild<QWidget *>(QStringLiteral("Picture1"));

    QTest::keyClick(splash->windowHandle(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), splash->ChoixPort());
    QTest::keyClick(splash->windowHandle(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), picture);
    QTest::keyClick(splash->windowHandle(), Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget(), splash->ChoixPort());

    QCOMPARE(splash->ChoixPort()->currentItem()->text(), QStringLiteral("1"));
    QVERIFY(!Principale::ifLoaded());
}

void TestStartup::aChosenPortStaysChosen()
{
    frmSplash *splash = openSplash();
    QVERIFY(splash);
    QListWidget *list = splash->ChoixPort();
    const QPoint onTwo = list->visualItemRect(list->item(1)).center();

    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, onTwo);
    QCOMPARE(list->selectedItems().size(), 1);
    QCOMPARE(list->selectedItems().constFirst()->text(), QStringLiteral("2"));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, onTwo);
    QCOMPARE(list->selectedItems().size(), 1);
    QCOMPARE(list->selectedItems().constFirst()->text(), QStringLiteral("2"));
    QVERIFY(!Principale::ifLoaded());

    QTest::keyClick(splash->windowHandle(), Qt::Key_Return);
    QVERIFY(Principale::ifLoaded());
    QCOMPARE(checkedOption(), 2);
}

void TestStartup::frameClickShowsMainWindowWithoutPort()
{
    QPointer<frmSplash> splash = openSplash();
    QVERIFY(splash);
    auto *frame = splash->findChild<QFrame *>(QStringLiteral("Frame1"));
    const QPoint bare(300, 250);
    QVERIFY(!frame->childAt(bare));

    QTest::mouseClick(frame, Qt::LeftButton, {}, bare);

    QPointer<Principale> main = Principale::ifLoaded();
    QVERIFY(main);
    QVERIFY(main->isVisible());
    QCOMPARE(checkedOption(), 0);
    QVERIFY(!mscomm().PortOpen());
    QVERIFY(splash && splash->isVisible());

    splash->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(splash));
    splash->ChoixPort()->setCurrentRow(4);
    QTest::keyClick(splash->windowHandle(), Qt::Key_Return);

    QCOMPARE(Principale::ifLoaded(), main.data());
    QCOMPARE(checkedOption(), 5);
    QCOMPARE(mscomm().devicePath(), ptyPath(5));
    QVERIFY(mscomm().PortOpen());
    QTRY_VERIFY(!splash);
    QVERIFY(main && main->isVisible());
}

void TestStartup::clickOnAControlInsideTheFrameIsNotTheFrames_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QPoint>("at");

    const QPoint centre(-1, -1);
    QTest::newRow("logo") << "Picture1" << centre;
    QTest::newRow("product") << "lblCompanyProduct" << centre;
    QTest::newRow("title") << "Label1" << centre;
    QTest::newRow("icon") << "imgLogo" << centre;
    QTest::newRow("version") << "lblVersion" << centre;
    QTest::newRow("company") << "lblCompany" << centre;
    QTest::newRow("list label") << "Label2" << centre;
    QTest::newRow("port frame, bare area") << "Frame2" << QPoint(6, 50);
}

void TestStartup::clickOnAControlInsideTheFrameIsNotTheFrames()
{
    QFETCH(QString, control);
    QFETCH(QPoint, at);

    frmSplash *splash = openSplash();
    QVERIFY(splash);
    auto *widget = splash->findChild<QWidget *>(control);
    QVERIFY(widget);
    const QPoint pos = at == QPoint(-1, -1) ? widget->rect().center() : at;
    QCOMPARE(widget->childAt(pos), nullptr);

    QTest::mouseClick(widget, Qt::LeftButton, {}, pos);
    QCoreApplication::processEvents();

    QVERIFY(!Principale::ifLoaded());
    QVERIFY(splash->isVisible());
}

void TestStartup::programEndsWhenNoFormIsLoaded()
{
    QSignalSpy end(&Forms::instance(), &Forms::noFormLoaded);
    QPointer<frmSplash> splash = openSplash();
    QVERIFY(splash);
    auto *frame = splash->findChild<QFrame *>(QStringLiteral("Frame1"));
    QTest::mouseClick(frame, Qt::LeftButton, {}, QPoint(300, 250));
    QPointer<Principale> main = Principale::ifLoaded();
    QVERIFY(main);

    main->close();
    QTRY_VERIFY(!main);
    QCoreApplication::processEvents();
    QCOMPARE(end.count(), 0);

    splash->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(splash));
    QTest::keyClick(splash->windowHandle(), Qt::Key_Return);
    QTRY_VERIFY(!splash);
    QCoreApplication::processEvents();
    QCOMPARE(end.count(), 0);

    main = Principale::ifLoaded();
    QVERIFY(main);
    main->close();
    QTRY_COMPARE(end.count(), 1);
}

void TestStartup::loadedHiddenWindowKeepsTheProgram()
{
    QSignalSpy end(&Forms::instance(), &Forms::noFormLoaded);
    QPointer<frmSplash> splash = openSplash();
    QVERIFY(splash);
    QPointer<Principale> main = Principale::form();
    QVERIFY(!main->isVisible());

    splash->close();
    QTRY_VERIFY(!splash);
    QCoreApplication::processEvents();
    QCOMPARE(end.count(), 0);

    main->close();
    QTRY_COMPARE(end.count(), 1);
}

void TestStartup::commandLineMapsPorts_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("devices");

    QStringList defaults;
    for (int com = 1; com <= 5; ++com)
        defaults << PortMap::defaultDevice(com);
    auto with = [&defaults](int com, const QString &device) {
        QStringList devices = defaults;
        devices[com - 1] = device;
        return devices;
    };

    QTest::newRow("nothing") << QStringList() << defaults;
    QTest::newRow("--port 1=/dev/ttyUSB0")
        << QStringList({ "--port", "1=/dev/ttyUSB0" }) << with(1, "/dev/ttyUSB0");
    QTest::newRow("--port=5=/dev/pts/7")
        << QStringList({ "--port=5=/dev/pts/7" }) << with(5, "/dev/pts/7");
    QTest::newRow("path holding =")
        << QStringList({ "--port", "2=/dev/serial/by-id/a=b" }) << with(2, "/dev/serial/by-id/a=b");
    QStringList two = with(1, "/dev/ttyUSB0");
    two[3] = QStringLiteral("/dev/ttyACM0");
    QTest::newRow("repeated") << QStringList({ "--port", "1=/dev/ttyUSB0", "--port",
        "4=/dev/ttyACM0" }) << two;
}

void TestStartup::commandLineMapsPorts()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, devices);

    CommandLine commandLine;
    QCOMPARE(commandLine.parse(QStringList { "tessaly" } + arguments), CommandLine::Outcome::Run);
    QStringList actual;
    for (int com = 1; com <= 5; ++com)
        actual << commandLine.portMap().device(com);
    QCOMPARE(actual, devices);
    QVERIFY(commandLine.errorText().isEmpty());
}

void TestStartup::commandLineRefuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");

    QTest::newRow("no =") << QStringList({ "--port", "1:/dev/ttyS0" })
                          << "« 1:/dev/ttyS0 » : la correspondance attendue est N=CHEMIN, "
                             "par exemple 1=/dev/ttyUSB0.";
    QTest::newRow("no number") << QStringList({ "--port", "=/dev/ttyS0" })
                               << "« =/dev/ttyS0 » : la correspondance attendue est N=CHEMIN, "
                                  "par exemple 1=/dev/ttyUSB0.";
    QTest::newRow("no path") << QStringList({ "--port", "1=" })
                             << "« 1= » : la correspondance attendue est N=CHEMIN, "
                                "par exemple 1=/dev/ttyUSB0.";
    QTest::newRow("letters") << QStringList({ "--port", "COM1=/dev/ttyS0" })
                             << "« COM1=/dev/ttyS0 » : la correspondance attendue est N=CHEMIN, "
                                "par exemple 1=/dev/ttyUSB0.";
    QTest::newRow("COM0") << QStringList({ "--port", "0=/dev/ttyS0" })
                          << "« 0=/dev/ttyS0 » : le numéro de port COM doit être compris "
                             "entre 1 et 5.";
    QTest::newRow("COM6") << QStringList({ "--port", "6=/dev/ttyS5" })
                          << "« 6=/dev/ttyS5 » : le numéro de port COM doit être compris "
                             "entre 1 et 5.";
    QTest::newRow("negative") << QStringList({ "--port", "-1=/dev/ttyS0" })
                              << "« -1=/dev/ttyS0 » : le numéro de port COM doit être compris "
                                 "entre 1 et 5.";
    QTest::newRow("second value bad")
        << QStringList({ "--port", "1=/dev/ttyUSB0", "--port", "9=/dev/ttyUSB1" })
        << "« 9=/dev/ttyUSB1 » : le numéro de port COM doit être compris entre 1 et 5.";
    QTest::newRow("same COM twice")
        << QStringList({ "--port", "2=/dev/ttyUSB0", "--port", "2=/dev/ttyUSB1" })
        << "COM2 est associé deux fois, à /dev/ttyUSB0 et à /dev/ttyUSB1.";
    QTest::newRow("missing value")
        << QStringList({ "--port" })
        << "l'option --port attend une correspondance N=CHEMIN, par exemple 1=/dev/ttyUSB0.";
    QTest::newRow("unknown option")
        << QStringList({ "--baud", "9600" }) << "option inconnue : --baud.";
    QTest::newRow("unknown short option") << QStringList({ "-x" }) << "option inconnue : -x.";
    QTest::newRow("stray argument")
        << QStringList({ "/dev/ttyS0" }) << "argument inattendu : « /dev/ttyS0 ».";
}

void TestStartup::commandLineRefuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);

    CommandLine commandLine;
    QCOMPARE(commandLine.parse(QStringList { "tessaly" } + arguments), CommandLine::Outcome::Error);
    QCOMPARE(commandLine.errorText(), error);
    for (int com = 1; com <= 5; ++com)
        QVERIFY(!commandLine.portMap().isMapped(com));
}

void TestStartup::commandLineHelpAndVersion_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<CommandLine::Outcome>("outcome");

    QTest::newRow("--help") << QStringList({ "--help" }) << CommandLine::Outcome::Help;
    QTest::newRow("-h") << QStringList({ "-h" }) << CommandLine::Outcome::Help;
    QTest::newRow("--version") << QStringList({ "--version" }) << CommandLine::Outcome::Version;
    QTest::newRow("-v") << QStringList({ "-v" }) << CommandLine::Outcome::Version;
    QTest::newRow("--help with a port")
        << QStringList({ "--port", "1=/dev/ttyUSB0", "--help" }) << CommandLine::Outcome::Help;
}

void TestStartup::commandLineHelpAndVersion()
{
    QFETCH(QStringList, arguments);
    QFETCH(CommandLine::Outcome, outcome);

    CommandLine commandLine;
    QCOMPARE(commandLine.parse(QStringList { "tessaly" } + arguments), outcome);
    if (outcome == CommandLine::Outcome::Help)
        QVERIFY(commandLine.helpText().contains(QLatin1String("--port <N=CHEMIN>")));
    else
        QCOMPARE(CommandLine::versionText(), QStringLiteral("Tessaly 1.0.0"));
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
