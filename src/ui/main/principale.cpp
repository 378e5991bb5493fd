#include "ui/main/principale.h"
#include "ui_principale.h"

#include "commands/commands.h"
#include "link/module1.h"
#include "ui/diagnostics.h"
#include "ui/forms.h"
#include "ui/operatormessage.h"
#include "ui/toolkit.h"
#include "ui/traceview.h"

#include <QCloseEvent>

using namespace Qt::StringLiterals;

namespace {

FormSlot<Principale> principale;

} // namespace

Principale::Principale(QWidget *parent)
    : QWidget(parent)
    , m_ui(std::make_unique<Ui::Principale>())
{
    m_ui->setupUi(this);
    toolkit::setCaptionColour(m_ui->Frame5, palette().color(QPalette::HighlightedText));
    toolkit::setUpForm(this);
    toolkit::disableFrame(m_ui->Frame5);
    toolkit::keepTypedText(m_ui->ProtectionTerminal);
    toolkit::keepTypedText(m_ui->Protocole);
    m_ui->ZoneReceptionTrame->setFocus();

    m_traceView = std::make_unique<TraceView>(&m_trace, m_ui->ZoneReceptionTrame);
    Module1::attach({ &MSComm1, &m_trace });
    Diagnostics::watch(MSComm1, m_trace, m_ui->ZoneReceptionTrame);

    connectOption(m_ui->Port1, &Principale::Port1_Click);
    connectOption(m_ui->Port2, &Principale::Port2_Click);
    connectOption(m_ui->Port3, &Principale::Port3_Click);
    connectOption(m_ui->Port4, &Principale::Port4_Click);
    connectOption(m_ui->Port5, &Principale::Port5_Click);
    connect(m_ui->LecturePort, &QPushButton::clicked, this, &Principale::LecturePort_Click);
    connect(m_ui->LectureST, &QPushButton::clicked, this, &Principale::LectureST_Click);
    connect(toolkit::FocusLoss::watch(m_ui->ParitePort), &toolkit::FocusLoss::lostFocus, this,
        &Principale::ParitePort_LostFocus);
    connect(m_ui->ValidationPortDecodeur, &QPushButton::clicked, this,
        &Principale::ValidationPortDecodeur_Click);
    connect(m_ui->ValidationRGS, &QPushButton::clicked, this, &Principale::ValidationRGS_Click);
    connect(&MSComm1, &SerialControl::OnComm, this, &Principale::MSComm1_OnComm);
    connect(&MSComm1, &SerialControl::portLost, this, &Principale::MSComm1_PortLost);
}

Principale::~Principale()
{
    // A new window may already have taken over the link while this one waited to be destroyed.
    if (Module1::liaison().MSComm1 == &MSComm1)
        Module1::detach();
}

Principale *Principale::form()
{
    return principale.get();
}

Principale *Principale::ifLoaded()
{
    return principale.ifLoaded();
}

QRadioButton *Principale::portOption(int n) const
{
    const QList<QRadioButton *> options { m_ui->Port1, m_ui->Port2, m_ui->Port3, m_ui->Port4,
        m_ui->Port5 };
    return options.value(n - 1);
}

void Principale::connectOption(QRadioButton *option, void (Principale::*handler)())
{
    // An option selected from code runs its click handler too: setChecked emits toggled only.
    connect(option, &QRadioButton::toggled, this, [this, handler](bool selected) {
        if (selected)
            (this->*handler)();
    });
}

void Principale::Form_Load()
{
    m_ui->VitessePort->addItems({ u"1200"_s, u"2400"_s, u"4800"_s, u"9600"_s, u"19200"_s });
    m_ui->VitessePort->setCurrentText(u"9600"_s);
    m_ui->ParitePort->addItems({ u"Paire"_s, u"Impaire"_s, u"Aucune"_s });
    m_ui->ParitePort->setCurrentText(u"Paire"_s);
    m_ui->BitDonne->addItems({ u"7"_s, u"8"_s });
    m_ui->BitDonne->setCurrentText(u"7"_s);
    m_ui->BitStop->addItems({ u"1"_s, u"2"_s });
    m_ui->BitStop->setCurrentText(u"1"_s);
    m_ui->ProtectionTerminal->addItems({ u"O"_s, u"N"_s });
    m_ui->ProtectionTerminal->setCurrentText(u"O"_s);
    m_ui->NPort->addItems({ u"1"_s, u"2"_s, u"3"_s });
    m_ui->NPort->setCurrentText(u"1"_s);
    Module1::CodeParite = u"P"_s;
    m_ui->Protocole->addItems(
        { u"B"_s, u"D"_s, u"E"_s, u"H"_s, u"M"_s, u"P"_s, u"R"_s, u"T"_s, u"U"_s, u"V"_s });
    m_ui->Protocole->setCurrentText(u"T"_s);
}

void Principale::Port1_Click()
{
    openPcPort(1);
}

void Principale::Port2_Click()
{
    openPcPort(2);
}

void Principale::Port3_Click()
{
    openPcPort(3);
}

void Principale::Port4_Click()
{
    openPcPort(4);
}

void Principale::Port5_Click()
{
    openPcPort(5);
}

void Principale::openPcPort(int n)
{
    if (MSComm1.PortOpen())
        MSComm1.setPortOpen(false);
    MSComm1.setCommPort(n);
    if (!MSComm1.setPortOpen(true)) {
        toolkit::deselectOptions(m_ui->Frame5);
        tellOperator(this, SerialControl::describe(MSComm1.lastOpenFailure()));
    }
}

void Principale::LecturePort_Click()
{
    Module1::Commande = commands::portConfigRead();
    sendCommande();
}

void Principale::LectureST_Click()
{
    Module1::Commande = commands::stRead();
    sendCommande();
}

void Principale::ParitePort_LostFocus()
{
    const QString parite = m_ui->ParitePort->currentText();
    if (parite == u"Paire"_s)
        Module1::CodeParite = u"P"_s;
    else if (parite == u"Impaire"_s)
        Module1::CodeParite = u"I"_s;
    else if (parite == u"Aucune"_s)
        Module1::CodeParite = u"N"_s;
}

void Principale::ValidationPortDecodeur_Click()
{
    Module1::PrefixeIdentification();
    Module1::Commande += u"SETU"_s;
    appendClause(m_ui->CheckVitesse, u"BD"_s, m_ui->VitessePort->currentText());
    appendClause(m_ui->CheckParité, u"PA"_s, Module1::CodeParite);
    appendClause(m_ui->CheckBit, u"LG"_s, m_ui->BitDonne->currentText());
    appendClause(m_ui->CheckBitStop, u"ST"_s, m_ui->BitStop->currentText());
    appendClause(m_ui->CheckProtection, u"PR"_s, m_ui->ProtectionTerminal->currentText());
    appendClause(m_ui->CheckProtocole, u"PROT"_s, m_ui->Protocole->currentText());
    sendCommande();
}

void Principale::appendClause(const QCheckBox *tick, const QString &key, const QString &value)
{
    if (tick->isChecked())
        Module1::Commande += commands::portClause(key, m_ui->NPort->currentText(), value);
}

void Principale::ValidationRGS_Click()
{
    m_ui->TexteRGS->setText(commands::padRgsAddress(m_ui->TexteRGS->text()));
    Module1::Commande = commands::rgsAddressWrite(m_ui->TexteRGS->text());
    sendCommande();
}

void Principale::sendCommande()
{
    const Module1::SendResult result = Module1::EnvoiCommande(Module1::Commande);
    if (result != Module1::SendResult::Sent)
        tellOperator(this, Module1::describe(result));
}

void Principale::MSComm1_OnComm()
{
    Module1::ReceptionCaracteres();
}

void Principale::MSComm1_PortLost(int com, const QString &device, const QString &reason)
{
    toolkit::deselectOptions(m_ui->Frame5);
    QString text
        = u"La liaison avec le port COM%1 (%2) est perdue"_s.arg(QString::number(com), device);
    if (!reason.isEmpty())
        text += u" : "_s + reason;
    text += u".\nLe port a été fermé. Vérifiez le câble ou l'adaptateur, puis relancez le "
            u"programme pour rouvrir le port."_s;
    tellOperator(this, text);
}

void Principale::closeEvent(QCloseEvent *event)
{
    Form_Unload();
    principale.forget(this);
    event->accept();
}

void Principale::Form_Unload()
{
    if (MSComm1.PortOpen())
        MSComm1.setPortOpen(false);
}
