#pragma once

#include "link/exchangetrace.h"
#include "link/serialcontrol.h"

#include <QWidget>

#include <memory>

class QCheckBox;
class QRadioButton;
class TraceView;

namespace Ui {
class Principale;
}

// The operator's working window. It owns the serial control MSComm1 and the exchange trace
// shown in ZoneReceptionTrame, and hands both to Module1 while it exists. Selecting one of the
// "Com PC" options (from code: the frame is disabled) opens that PC port; the two read buttons
// send "SETU" and "ST"; "Validation Configuration Port" and "Valider" send the two write
// commands, built from the controls' current values. The window exists at most once: form()
// creates and loads it on first touch, closing it unloads and destroys it.
class Principale : public QWidget
{
    Q_OBJECT

public:
    explicit Principale(QWidget *parent = nullptr);
    ~Principale() override;

    static Principale *form();
    static Principale *ifLoaded();

    // The "Com PC" option for COM n, n from 1 to 5; selecting it runs Portn_Click.
    QRadioButton *portOption(int n) const;

    SerialControl &comm() { return MSComm1; }
    ExchangeTrace &trace() { return m_trace; }

public Q_SLOTS:
    void Form_Load();

private Q_SLOTS:
    void Port1_Click();
    void Port2_Click();
    void Port3_Click();
    void Port4_Click();
    void Port5_Click();
    void LecturePort_Click();
    void LectureST_Click();
    void ParitePort_LostFocus();
    void ValidationPortDecodeur_Click();
    void ValidationRGS_Click();
    void MSComm1_OnComm();
    void MSComm1_PortLost(int com, const QString &device, const QString &reason);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void Form_Unload();
    void connectOption(QRadioButton *option, void (Principale::*handler)());
    void openPcPort(int n);
    void appendClause(const QCheckBox *tick, const QString &key, const QString &value);
    void sendCommande();

    std::unique_ptr<Ui::Principale> m_ui;
    SerialControl MSComm1;
    ExchangeTrace m_trace;
    std::unique_ptr<TraceView> m_traceView;
};
