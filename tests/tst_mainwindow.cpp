#include "commands/commands.h"
#include "link/module1.h"
#include "link/serialcontrol.h"
#include "support/pty.h"
#include "ui/main/principale.h"
#include "ui/operatormessage.h"
#include "ui/toolkit.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>

#include <algorithm>
#include <array>
#include <memory>

using namespace Qt::StringLiterals;

// The main window as the operator sees it: controls are found by their names on the form,
// driven with mouse and keyboard, and judged by the window's state, the trace
// and the bytes that reach the device end of a pseudo-terminal.
class TestMainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void choiceBoxesHoldTheirItems_data();
    void choiceBoxesHoldTheirItems();
    void loadSetsParityCodeAndOpensNoPort();
    void tickBoxesStartUnticked_data();
    void tickBoxesStartUnticked();
    void lookOfTheWindow();
    void lookOfTheControls_data();
    void lookOfTheControls();

    void optionFromCodeOpensItsPort();
    void anotherOptionClosesThePortFirst();
    void readButtonsSendAndTrace_data();
    void readButtonsSendAndTrace();
    void repliesReachTheTrace();
    void comPcOptionsCannotBeOperated();
    void tabWalksTheFocusOrder();
    void closingClosesThePortAndTouchingReloads();

    void absentDeviceIsReported();
    void sendingWithoutPortIsReported();
    void lostPortIsReported();

    void portWriteCarriesTheTickedClauses_data();
    void portWriteCarriesTheTickedClauses();
    void parityIsTakenWhenTheBoxLosesFocus_data();
    void parityIsTakenWhenTheBoxLosesFocus();
    void typedProtocolIsSentAsTyped_data();
    void typedProtocolIsSentAsTyped();
    void rgsAddressIsPaddedAndSent_data();
    void rgsAddressIsPaddedAndSent();

private:
    static Principale *window() { return Principale::form(); }
    template <class W> static W *control(const char *name)
    {
        return window()->findChild<W *>(QString::fromUtf8(name));
    }
    static Principale *shownWindow();
    static void click(QWidget *target);
    static int selectedOption();
    static int openCount(const QString &device);
    QByteArray lineOn(Pty &pty, const QByteArray &expected);

    std::array<std::unique_ptr<Pty>, 3> m_ptys;
    QStringList m_messages;
};

namespace {

const QString absentCom4 = u"/dev/tessaly-absent-com4"_s;

const QStringList tickBoxes { u"CheckVitesse"_s, u"CheckParité"_s, u"CheckBit"_s, u"CheckBitStop"_s,
    u"CheckProtection"_s, u"CheckProtocole"_s };

QByteArray prefixed(const QString &rest)
{
    return (commands::identificationPrefix() + rest + u'\r').toLatin1();
}

} // namespace

void TestMainWindow::initTestCase()
{
    PortMap map;
    for (int com = 1; com <= 3; ++com) {
        m_ptys[com - 1] = std::make_unique<Pty>();
        QVERIFY(m_ptys[com - 1]->isValid());
        map.map(com, m_ptys[com - 1]->slavePath());
    }
    map.map(4, absentCom4);
    SerialControl::setPortMap(map);
    setOperatorMessageSink([this](const QString &text) { m_messages << text; });
}

void TestMainWindow::init()
{
    m_messages.clear();
    Module1::TamponReception.clear();
    for (auto &pty : m_ptys)
        pty->readAvailable();
}

void TestMainWindow::cleanup()
{
    QPointer<Principale> closing = Principale::ifLoaded();
    if (closing)
        closing->close();
    QTRY_VERIFY(closing.isNull());
}

Principale *TestMainWindow::shownWindow()
{
    Principale *form = window();
    form->show();
    if (!QTest::qWaitForWindowActive(form))
        return nullptr;
    return form;
}

// A click as the window system delivers it: to whatever the window shows at that point, which
// takes the focus on press if it accepts focus by mouse.
void TestMainWindow::click(QWidget *target)
{
    QWidget *top = target->window();
    QTest::mouseClick(
        top->windowHandle(), Qt::LeftButton, {}, target->mapTo(top, target->rect().center()));
}

int TestMainWindow::selectedOption()
{
    for (int n = 1; n <= 5; ++n) {
        if (window()->portOption(n)->isChecked())
            return n;
    }
    return 0;
}

// How many descriptors of this process hold the device open; a pty's own end keeps one.
int TestMainWindow::openCount(const QString &device)
{
    const QString canonical = QFileInfo(device).canonicalFilePath();
    int count = 0;
    const auto fds = QDir(u"/proc/self/fd"_s).entryInfoList(QDir::Files | QDir::System);
    for (const QFileInfo &fd : fds) {
        if (fd.symLinkTarget() == canonical)
            ++count;
    }
    return count;
}

QByteArray TestMainWindow::lineOn(Pty &pty, const QByteArray &expected)
{
    QByteArray line = pty.read(int(expected.size()));
    line += pty.read(1, 50); // anything more would be a fault
    return line;
}

void TestMainWindow::choiceBoxesHoldTheirItems_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("editable");

    QTest::newRow("VitessePort") << u"VitessePort"_s
                                 << QStringList { u"1200"_s, u"2400"_s, u"4800"_s, u"9600"_s,
                                        u"19200"_s }
                                 << u"9600"_s << false;
    QTest::newRow("ParitePort") << u"ParitePort"_s
                                << QStringList { u"Paire"_s, u"Impaire"_s, u"Aucune"_s }
                                << u"Paire"_s << false;
    QTest::newRow("BitDonne") << u"BitDonne"_s << QStringList { u"7"_s, u"8"_s } << u"7"_s << false;
    QTest::newRow("BitStop") << u"BitStop"_s << QStringList { u"1"_s, u"2"_s } << u"1"_s << false;
    QTest::newRow("ProtectionTerminal")
        << u"ProtectionTerminal"_s << QStringList { u"O"_s, u"N"_s } << u"O"_s << true;
    QTest::newRow("NPort") << u"NPort"_s << QStringList { u"1"_s, u"2"_s, u"3"_s } << u"1"_s
                           << false;
    QTest::newRow("Protocole") << u"Protocole"_s
                               << QStringList { u"B"_s, u"D"_s, u"E"_s, u"H"_s, u"M"_s, u"P"_s,
                                      u"R"_s, u"T"_s, u"U"_s, u"V"_s }
                               << u"T"_s << true;
}

void TestMainWindow::choiceBoxesHoldTheirItems()
{
    QFETCH(QString, box);
    QFETCH(QStringList, items);
    QFETCH(QString, shown);
    QFETCH(bool, editable);

    const auto *combo = window()->findChild<QComboBox *>(box);
    QVERIFY(combo);
    QStringList held;
    for (int i = 0; i < combo->count(); ++i)
        held << combo->itemText(i);
    QCOMPARE(held, items);
    QCOMPARE(combo->currentText(), shown);
    QCOMPARE(combo->isEditable(), editable);
}

void TestMainWindow::loadSetsParityCodeAndOpensNoPort()
{
    Module1::CodeParite = u"X"_s;
    Principale *form = window();
    QCOMPARE(Module1::CodeParite, u"P"_s);
    QCOMPARE(selectedOption(), 0);
    QVERIFY(!form->comm().PortOpen());
    QCOMPARE(form->trace().text(), QString());
    QCOMPARE(control<QLineEdit>("TexteRGS")->text(), QString());
}

void TestMainWindow::tickBoxesStartUnticked_data()
{
    QTest::addColumn<QString>("box");
    for (const QString &box : tickBoxes)
        QTest::newRow(box.toUtf8()) << box;
}

void TestMainWindow::tickBoxesStartUnticked()
{
    QFETCH(QString, box);
    const auto *tick = window()->findChild<QCheckBox *>(box);
    QVERIFY(tick);
    QVERIFY(!tick->isChecked());
    QCOMPARE(tick->text(), QString());
}

void TestMainWindow::lookOfTheWindow()
{
    Principale *form = shownWindow();
    QVERIFY(form);
    QCOMPARE(form->windowTitle(), u"Tessaly"_s);
    QCOMPARE(form->size(), QSize(608, 412));

    const QImage image = form->grab().toImage();
    QCOMPARE(image.pixelColor(2, 2), toolkit::windowBlue);
    QCOMPARE(image.pixelColor(600, 405), toolkit::windowBlue);

    // LecturePort and Frame7 lie over Frame6 and stay visible above it.
    for (const char *name : { "LecturePort", "Label9", "NPort" }) {
        auto *above = control<QWidget>(name);
        const QPoint centre = above->mapTo(form, above->rect().center());
        QWidget *shown = form->childAt(centre);
        QVERIFY2(shown == above || above->isAncestorOf(shown), name);
    }

    auto *lumeral = control<QLabel>("lblCompanyProduct");
    QCOMPARE(lumeral->pos(), QPoint(496, 8));
    QCOMPARE(lumeral->size(), lumeral->sizeHint());
}

void TestMainWindow::lookOfTheControls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("face");
    QTest::addColumn<qreal>("points");
    QTest::addColumn<bool>("bold");

    const QString sans = toolkit::sansFace();
    QTest::newRow("Frame5") << u"Frame5"_s << QRect(8, 8, 209, 41) << u"Com PC"_s << sans << 8.25
                            << true;
    QTest::newRow("Port1") << u"Port1"_s << QRect(8, 16, 25, 17) << u"1"_s << sans << 8.25 << false;
    QTest::newRow("Port5") << u"Port5"_s << QRect(168, 16, 33, 17) << u"5"_s << sans << 8.25
                           << false;
    QTest::newRow("ZoneReceptionTrame") << u"ZoneReceptionTrame"_s << QRect(0, 56, 329, 349)
                                        << QString() << toolkit::fixedFace() << 9.0 << false;
    QTest::newRow("lblCompanyProduct")
        << u"lblCompanyProduct"_s << QRect() << u"Lumeral"_s << sans << 24.0 << true;
    QTest::newRow("Frame2") << u"Frame2"_s << QRect(336, 48, 265, 49) << u"Adresse RGS"_s << sans
                            << 9.75 << true;
    QTest::newRow("LectureST") << u"LectureST"_s << QRect(8, 24, 57, 17) << u"Lecture"_s << sans
                               << 8.25 << true;
    QTest::newRow("Label3") << u"Label3"_s << QRect(96, 24, 49, 17) << u"Adresse :"_s << sans
                            << 8.25 << false;
    QTest::newRow("TexteRGS") << u"TexteRGS"_s << QRect(144, 24, 41, 19) << QString() << sans
                              << 8.25 << false;
    QTest::newRow("ValidationRGS")
        << u"ValidationRGS"_s << QRect(192, 24, 57, 17) << u"Valider"_s << sans << 8.25 << true;
    QTest::newRow("LecturePort") << u"LecturePort"_s << QRect(368, 128, 201, 17)
                                 << u"Lecture de la config. des ports"_s << sans << 8.25 << true;
    QTest::newRow("Frame7") << u"Frame7"_s << QRect(344, 160, 249, 49)
                            << u"Choix du port à configurer"_s << sans << 9.75 << true;
    QTest::newRow("Label9") << u"Label9"_s << QRect(16, 24, 81, 17) << u"N° du port COM"_s << sans
                            << 8.25 << false;
    QTest::newRow("NPort") << u"NPort"_s << QRect(112, 24, 41, 21) << QString() << sans << 8.25
                           << false;
    QTest::newRow("Frame6") << u"Frame6"_s << QRect(336, 104, 265, 297)
                            << u"Configuration des ports du coffret"_s << sans << 9.75 << true;
    QTest::newRow("LabelVitesse") << u"LabelVitesse"_s << QRect(16, 112, 49, 17) << u"Vitesse"_s
                                  << sans << 8.25 << false;
    QTest::newRow("ParitePort") << u"ParitePort"_s << QRect(152, 136, 73, 21) << QString() << sans
                                << 8.25 << false;
    QTest::newRow("CheckBit") << u"CheckBit"_s << QRect(232, 160, 17, 17) << QString() << sans
                              << 8.25 << false;
    QTest::newRow("LabelProtection") << u"LabelProtection"_s << QRect(16, 208, 129, 17)
                                     << u"Protection  Mode Terminal"_s << sans << 8.25 << false;
    QTest::newRow("Protocole") << u"Protocole"_s << QRect(152, 232, 73, 21) << QString() << sans
                               << 8.25 << false;
    QTest::newRow("ValidationPortDecodeur")
        << u"ValidationPortDecodeur"_s << QRect(16, 264, 233, 25)
        << u"Validation Configuration Port"_s << sans << 8.25 << true;
}

void TestMainWindow::lookOfTheControls()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    QFETCH(QString, face);
    QFETCH(qreal, points);
    QFETCH(bool, bold);

    Principale *form = shownWindow();
    QVERIFY(form);
    auto *widget = form->findChild<QWidget *>(name);
    QVERIFY(widget);
    if (geometry.isValid())
        QCOMPARE(widget->geometry(), geometry);
    if (const auto *frame = qobject_cast<QGroupBox *>(widget))
        QCOMPARE(frame->title(), text);
    else if (const auto *button = qobject_cast<QAbstractButton *>(widget))
        QCOMPARE(button->text(), text);
    else if (const auto *label = qobject_cast<QLabel *>(widget))
        QCOMPARE(label->text(), text);
    QCOMPARE(QFontInfo(widget->font()).family(), face);
    QCOMPARE(widget->font().pointSizeF(), points);
    QCOMPARE(widget->font().bold(), bold);
}

void TestMainWindow::optionFromCodeOpensItsPort()
{
    Principale *form = window();
    form->portOption(2)->setChecked(true);
    QVERIFY(form->comm().PortOpen());
    QCOMPARE(form->comm().CommPort(), 2);
    QCOMPARE(form->comm().devicePath(), m_ptys[1]->slavePath());
    QCOMPARE(openCount(m_ptys[1]->slavePath()), 2);
    QCOMPARE(selectedOption(), 2);
    QVERIFY(m_messages.isEmpty());
}

void TestMainWindow::anotherOptionClosesThePortFirst()
{
    Principale *form = window();
    form->portOption(1)->setChecked(true);
    QCOMPARE(openCount(m_ptys[0]->slavePath()), 2);

    form->portOption(3)->setChecked(true);
    // The control refuses a new port number while a port is open, so COM3 in use proves that
    // COM1 was closed before the number was set and the port opened.
    QCOMPARE(form->comm().CommPort(), 3);
    QVERIFY(form->comm().PortOpen());
    QCOMPARE(form->comm().devicePath(), m_ptys[2]->slavePath());
    QCOMPARE(openCount(m_ptys[0]->slavePath()), 1);
    QCOMPARE(openCount(m_ptys[2]->slavePath()), 2);
    QCOMPARE(selectedOption(), 3);
    QVERIFY(!form->portOption(1)->isChecked());

    click(shownWindow()->findChild<QPushButton *>(u"LecturePort"_s));
    QCOMPARE(lineOn(*m_ptys[2], "SETU\r"), QByteArray("SETU\r"));
    QCOMPARE(m_ptys[0]->readAvailable(), QByteArray());
    QVERIFY(m_messages.isEmpty());
}

void TestMainWindow::readButtonsSendAndTrace_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("traced");

    QTest::newRow("LecturePort") << u"LecturePort"_s << QByteArray("SETU\r") << u"Q: SETU$13\r\n"_s;
    QTest::newRow("LectureST") << u"LectureST"_s << QByteArray("ST\r") << u"Q: ST$13\r\n"_s;
}

void TestMainWindow::readButtonsSendAndTrace()
{
    QFETCH(QString, button);
    QFETCH(QByteArray, line);
    QFETCH(QString, traced);

    Principale *form = shownWindow();
    QVERIFY(form);
    form->portOption(1)->setChecked(true);

    QByteArray onTheLineWhenTraced = "not traced";
    connect(&form->trace(), &ExchangeTrace::textAppended, this,
        [&] { onTheLineWhenTraced = m_ptys[0]->readAvailable(); });
    click(form->findChild<QPushButton *>(button));

    QCOMPARE(onTheLineWhenTraced, QByteArray());
    QCOMPARE(lineOn(*m_ptys[0], line), line);
    QCOMPARE(form->trace().text(), traced);
    QTRY_COMPARE(control<QPlainTextEdit>("ZoneReceptionTrame")->toPlainText(),
        QString(traced).remove(u'\r'));
    QVERIFY(m_messages.isEmpty());
}

void TestMainWindow::repliesReachTheTrace()
{
    Principale *form = window();
    form->portOption(1)->setChecked(true);
    m_ptys[0]->write("OK!\r\n");
    const QString entry = u"R: OK!$13$10\r\n"_s + QString(88, u'-') + u"\r\n"_s;
    QTRY_COMPARE(form->trace().text(), entry);
}

void TestMainWindow::comPcOptionsCannotBeOperated()
{
    Principale *form = shownWindow();
    QVERIFY(form);
    form->portOption(3)->setChecked(true);

    click(form->portOption(2));
    QCOMPARE(selectedOption(), 3);
    QTest::keyClick(form->windowHandle(), Qt::Key_Left);
    QCOMPARE(selectedOption(), 3);
    QCOMPARE(form->comm().CommPort(), 3);

    for (int press = 0; press < 30; ++press) {
        QTest::keyClick(form->windowHandle(), Qt::Key_Tab);
        QVERIFY(!qobject_cast<QRadioButton *>(QApplication::focusWidget()));
    }

    // Shown as if enabled: captions in the highlight-text colour (white here) rather than the
    // greyed text of a disabled control, and the selected option marked.
    const auto look = [form](int n) {
        QRadioButton *option = form->portOption(n);
        return form->grab(QRect(option->mapTo(form, QPoint()), option->size())).toImage();
    };
    QStyleOptionButton option;
    option.initFrom(form->portOption(3));
    const QRect indicator = form->style()->subElementRect(
        QStyle::SE_RadioButtonIndicator, &option, form->portOption(3));
    QCOMPARE(form->palette().color(QPalette::Active, QPalette::HighlightedText), QColor(Qt::white));
    for (int n = 1; n <= 5; ++n) {
        QVERIFY(form->portOption(n)->isEnabled());
        const QImage image = look(n);
        int brightest = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = indicator.right() + 1; x < image.width(); ++x)
                brightest = std::max(brightest,
                    std::min(image.pixelColor(x, y).red(), image.pixelColor(x, y).green()));
        }
        QVERIFY2(brightest >= 230, qPrintable(QString::number(n)));
    }
    QVERIFY(look(2).pixelColor(indicator.center()).lightness()
            - look(3).pixelColor(indicator.center()).lightness()
        > 80);
}

void TestMainWindow::tabWalksTheFocusOrder()
{
    const QStringList order { u"ZoneReceptionTrame"_s, u"LecturePort"_s, u"CheckProtocole"_s,
        u"CheckProtection"_s, u"CheckBitStop"_s, u"CheckBit"_s, u"CheckParité"_s, u"CheckVitesse"_s,
        u"Protocole"_s, u"ProtectionTerminal"_s, u"ValidationPortDecodeur"_s, u"VitessePort"_s,
        u"ParitePort"_s, u"BitDonne"_s, u"BitStop"_s, u"NPort"_s, u"LectureST"_s,
        u"ValidationRGS"_s, u"TexteRGS"_s, u"ZoneReceptionTrame"_s };
    Principale *form = shownWindow();
    QVERIFY(form);
    for (qsizetype i = 0; i < order.size(); ++i) {
        if (i > 0)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QVERIFY2(form->findChild<QWidget *>(order[i])->hasFocus(), qPrintable(order[i]));
    }
    for (qsizetype i = order.size() - 2; i >= 0; --i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QVERIFY2(form->findChild<QWidget *>(order[i])->hasFocus(), qPrintable(order[i]));
    }
}

void TestMainWindow::closingClosesThePortAndTouchingReloads()
{
    QPointer<Principale> first = shownWindow();
    QVERIFY(first);
    first->portOption(1)->setChecked(true);
    control<QComboBox>("VitessePort")->setCurrentText(u"1200"_s);
    click(control<QCheckBox>("CheckVitesse"));
    click(control<QPushButton>("LectureST"));
    QVERIFY(control<QCheckBox>("CheckVitesse")->isChecked());
    QVERIFY(!first->trace().text().isEmpty());

    QVERIFY(first->close());
    QVERIFY(!Principale::ifLoaded());
    QVERIFY(first); // destroyed at the next turn of the event loop
    QVERIFY(!first->comm().PortOpen());
    QCOMPARE(openCount(m_ptys[0]->slavePath()), 1);
    QTRY_VERIFY(first.isNull());

    Principale *second = window();
    QCOMPARE(control<QComboBox>("VitessePort")->currentText(), u"9600"_s);
    QVERIFY(!control<QCheckBox>("CheckVitesse")->isChecked());
    QCOMPARE(selectedOption(), 0);
    QVERIFY(!second->comm().PortOpen());
    QCOMPARE(second->trace().text(), QString());
    second->portOption(1)->setChecked(true);
    QVERIFY(second->comm().PortOpen());
}

void TestMainWindow::absentDeviceIsReported()
{
    Principale *form = window();
    form->portOption(1)->setChecked(true);
    form->portOption(4)->setChecked(true);

    QCOMPARE(m_messages.size(), 1);
    QCOMPARE(m_messages.first(), SerialControl::describe(form->comm().lastOpenFailure()));
    QVERIFY2(m_messages.first().contains(u"COM4"_s), qPrintable(m_messages.first()));
    QVERIFY2(m_messages.first().contains(absentCom4), qPrintable(m_messages.first()));
    QCOMPARE(selectedOption(), 0);
    QVERIFY(!form->comm().PortOpen());
    QCOMPARE(openCount(m_ptys[0]->slavePath()), 1);

    form->portOption(2)->setChecked(true);
    click(shownWindow()->findChild<QPushButton *>(u"LectureST"_s));
    QCOMPARE(lineOn(*m_ptys[1], "ST\r"), QByteArray("ST\r"));
    QCOMPARE(m_messages.size(), 1);
}

void TestMainWindow::sendingWithoutPortIsReported()
{
    Principale *form = shownWindow();
    QVERIFY(form);
    click(control<QPushButton>("LecturePort"));

    QCOMPARE(m_messages, QStringList { Module1::describe(Module1::SendResult::NoPortOpen) });
    QCOMPARE(form->trace().text(), u"Q: SETU$13\r\n"_s);

    form->portOption(1)->setChecked(true);
    click(control<QPushButton>("LecturePort"));
    QCOMPARE(lineOn(*m_ptys[0], "SETU\r"), QByteArray("SETU\r"));
    QCOMPARE(m_messages.size(), 1);
}

void TestMainWindow::lostPortIsReported()
{
    Pty device;
    QVERIFY(device.isValid());
    PortMap map = SerialControl::portMap();
    map.map(5, device.slavePath());
    SerialControl::setPortMap(map);

    Principale *form = window();
    form->portOption(5)->setChecked(true);
    QVERIFY(form->comm().PortOpen());
    device.closeMaster();

    QTRY_COMPARE(m_messages.size(), 1);
    QVERIFY2(m_messages.first().contains(u"COM5"_s), qPrintable(m_messages.first()));
    QVERIFY(!form->comm().PortOpen());
    QCOMPARE(selectedOption(), 0);
    QTest::qWait(100);
    QCOMPARE(m_messages.size(), 1);

    form->portOption(1)->setChecked(true);
    QVERIFY(form->comm().PortOpen());
}

void TestMainWindow::portWriteCarriesTheTickedClauses_data()
{
    QTest::addColumn<QStringList>("ticked");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QStringList>("changes"); // box=value, set from code
    QTest::addColumn<QString>("command");

    QTest::newRow("nothing ticked") << QStringList() << u"1"_s << QStringList() << u"SETU"_s;
    QTest::newRow("all six, defaults") << tickBoxes << u"1"_s << QStringList()
                                       << u"SETU BD1=9600 PA1=P LG1=7 ST1=1 PR1=O PROT1=T"_s;
    QTest::newRow("only PROT on port 2, protocol M")
        << QStringList { u"CheckProtocole"_s } << u"2"_s << QStringList { u"Protocole=M"_s }
        << u"SETU PROT2=M"_s;
    QTest::newRow("changed but unticked values stay out")
        << QStringList { u"CheckBit"_s, u"CheckBitStop"_s } << u"3"_s
        << QStringList { u"VitessePort=4800"_s, u"BitDonne=8"_s, u"BitStop=2"_s,
               u"ProtectionTerminal=N"_s }
        << u"SETU LG3=8 ST3=2"_s;
    QTest::newRow("speed and protection")
        << QStringList { u"CheckProtection"_s, u"CheckVitesse"_s } << u"2"_s
        << QStringList { u"VitessePort=19200"_s, u"ProtectionTerminal=N"_s }
        << u"SETU BD2=19200 PR2=N"_s;
}

void TestMainWindow::portWriteCarriesTheTickedClauses()
{
    QFETCH(QStringList, ticked);
    QFETCH(QString, port);
    QFETCH(QStringList, changes);
    QFETCH(QString, command);

    Principale *form = shownWindow();
    QVERIFY(form);
    form->portOption(1)->setChecked(true);
    for (const QString &tick : ticked)
        click(form->findChild<QCheckBox *>(tick));
    control<QComboBox>("NPort")->setCurrentText(port);
    for (const QString &change : changes) {
        const QStringList parts = change.split(u'=');
        form->findChild<QComboBox *>(parts[0])->setCurrentText(parts[1]);
    }
    click(control<QPushButton>("ValidationPortDecodeur"));

    QCOMPARE(lineOn(*m_ptys[0], prefixed(command)), prefixed(command));
    QCOMPARE(Module1::Commande, commands::identificationPrefix() + command);
    QVERIFY(m_messages.isEmpty());
}

void TestMainWindow::parityIsTakenWhenTheBoxLosesFocus_data()
{
    QTest::addColumn<int>("downs");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("clause");

    QTest::newRow("Paire") << 0 << u"arrows"_s << u" PA2=P"_s;
    QTest::newRow("Impaire") << 1 << u"arrows"_s << u" PA2=I"_s;
    QTest::newRow("Aucune") << 2 << u"arrows"_s << u" PA2=N"_s;
    QTest::newRow("Impaire from the open list") << 1 << u"list"_s << u" PA2=I"_s;
    // Chosen from code, the box never had the focus to lose: the code stays as it was.
    QTest::newRow("Aucune without focus") << 2 << u"code"_s << u" PA2=P"_s;
}

void TestMainWindow::parityIsTakenWhenTheBoxLosesFocus()
{
    QFETCH(int, downs);
    QFETCH(QString, how);
    QFETCH(QString, clause);

    Principale *form = shownWindow();
    QVERIFY(form);
    form->portOption(1)->setChecked(true);
    click(control<QCheckBox>("CheckParité"));
    auto *nport = control<QComboBox>("NPort");
    nport->setFocus();
    QTest::keyClick(nport, Qt::Key_Down);
    QCOMPARE(nport->currentText(), u"2"_s);

    auto *parity = control<QComboBox>("ParitePort");
    if (how == u"code"_s) {
        parity->setCurrentIndex(downs);
    } else {
        parity->setFocus();
        if (how == u"list"_s) {
            QTest::keyClick(parity, Qt::Key_Down, Qt::AltModifier);
            QTRY_VERIFY(parity->view()->isVisible());
            for (int i = 0; i < downs; ++i)
                QTest::keyClick(parity->view(), Qt::Key_Down);
            QTest::keyClick(parity->view(), Qt::Key_Return);
            QTRY_VERIFY(!parity->view()->isVisible());
            QTRY_VERIFY(parity->hasFocus());
        } else {
            for (int i = 0; i < downs; ++i)
                QTest::keyClick(parity, Qt::Key_Down);
        }
        QCOMPARE(Module1::CodeParite, u"P"_s); // not yet: the box still has the focus
    }

    auto *validation = control<QPushButton>("ValidationPortDecodeur");
    // The code is taken at focus loss only: the new one on the line shows the press took the
    // focus from the box before the click ran.
    click(validation);

    const QByteArray line = prefixed(u"SETU"_s + clause);
    QCOMPARE(lineOn(*m_ptys[0], line), line);
}

void TestMainWindow::typedProtocolIsSentAsTyped_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("enter");

    QTest::newRow("X9") << u"X9"_s << false;
    QTest::newRow("X9 and Enter") << u"X9"_s << true;
    QTest::newRow("lower-case item, Enter") << u"t"_s << true;
    QTest::newRow("prefix of nothing") << u"Mx"_s << true;
}

void TestMainWindow::typedProtocolIsSentAsTyped()
{
    QFETCH(QString, typed);
    QFETCH(bool, enter);

    Principale *form = shownWindow();
    QVERIFY(form);
    form->portOption(1)->setChecked(true);
    click(control<QCheckBox>("CheckProtocole"));
    control<QComboBox>("NPort")->setCurrentText(u"3"_s);

    auto *protocol = control<QComboBox>("Protocole");
    click(protocol->lineEdit());
    QTest::keyClick(protocol->lineEdit(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(protocol->lineEdit(), typed);
    if (enter)
        QTest::keyClick(protocol->lineEdit(), Qt::Key_Return);
    QCOMPARE(protocol->currentText(), typed);
    QCOMPARE(protocol->count(), 10);

    click(control<QPushButton>("ValidationPortDecodeur"));
    const QByteArray line = prefixed(u"SETU PROT3="_s + typed);
    QCOMPARE(lineOn(*m_ptys[0], line), line);
}

void TestMainWindow::rgsAddressIsPaddedAndSent_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("command");

    QTest::newRow("empty") << QString() << u"000"_s << u"ST COD=f00dd.0"_s;
    QTest::newRow("5") << u"5"_s << u"005"_s << u"ST COD=f00dd.5"_s;
    QTest::newRow("12") << u"12"_s << u"012"_s << u"ST COD=f01dd.2"_s;
    QTest::newRow("ab") << u"ab"_s << u"0ab"_s << u"ST COD=f0add.b"_s;
    QTest::newRow("123") << u"123"_s << u"123"_s << u"ST COD=f12dd.3"_s;
    QTest::newRow("fourth refused") << u"1234"_s << u"123"_s << u"ST COD=f12dd.3"_s;
}

void TestMainWindow::rgsAddressIsPaddedAndSent()
{
    QFETCH(QString, typed);
    QFETCH(QString, address);
    QFETCH(QString, command);

    Principale *form = shownWindow();
    QVERIFY(form);
    form->portOption(1)->setChecked(true);
    auto *box = control<QLineEdit>("TexteRGS");
    click(box);
    QTest::keyClicks(box, typed);
    QCOMPARE(box->text(), typed.left(3));

    click(control<QPushButton>("ValidationRGS"));
    QCOMPARE(box->text(), address);
    QCOMPARE(lineOn(*m_ptys[0], prefixed(command)), prefixed(command));
    QCOMPARE(
        form->trace().text(), u"Q: "_s + commands::identificationPrefix() + command + u"$13\r\n"_s);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
