#pragma once

#include "link/paritymarks.h"
#include "link/portmap.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

// MSComm1: the main window's serial control. One PC port, COM1 to COM5, at 9600 baud, even
// parity, 7 data bits, 1 stop bit, no flow control, DTR raised and RTS not. Received bytes are
// kept in the control's own input buffer, read as text, and announced by OnComm; a character
// received with a parity error is delivered as "?" and a NUL like any other character.
class SerialControl : public QObject
{
    Q_OBJECT

public:
    // Why an opening failed, told apart so the operator can be told what to do.
    struct OpenFailure
    {
        enum class Kind { None, NotFound, PermissionDenied, Busy, Other };
        Kind kind = Kind::None;
        int com = 0;
        QString device;
        QString reason; // the system's own words
        QString group;  // for PermissionDenied: the group that owns the device
    };

    explicit SerialControl(QObject *parent = nullptr);
    ~SerialControl() override;

    // The COM-number-to-device map every control of the program uses; set once from the
    // command line.
    static void setPortMap(const PortMap &map);
    static const PortMap &portMap();

    int CommPort() const { return m_commPort; }
    // Only while the port is closed; returns false otherwise or when n is outside 1 to 5.
    bool setCommPort(int n);

    bool PortOpen() const;
    // Opens COM<CommPort> with the fixed settings, or closes it. Closing never fails; an opening
    // that fails leaves the port closed and lastOpenFailure() says why.
    bool setPortOpen(bool open);
    const OpenFailure &lastOpenFailure() const { return m_failure; }
    QString devicePath() const;

    // Queues every byte for sending, in order; false when no port is open or the write fails.
    bool Output(const QByteArray &bytes);

    int InBufferCount() const { return int(m_input.size()); }
    // Every waiting character, in arrival order, removed from the input buffer.
    QString Input();

    // The line settings as the port reports them, for checking what was applied.
    qint32 baudRate() const;
    QSerialPort::Parity parity() const;
    QSerialPort::DataBits dataBits() const;
    QSerialPort::StopBits stopBits() const;
    QSerialPort::FlowControl flowControl() const;

    // Bytes as the terminal driver hands them over, parity marks included: what every read of
    // the port goes through on its way to the input buffer and OnComm. Also the way in for
    // bytes that no pseudo-terminal can produce, such as a real parity error.
    void takeIncoming(QByteArrayView raw);

    // The French sentence an operator reads for a failed opening.
    static QString describe(const OpenFailure &failure);

Q_SIGNALS:
    void OnComm();
    // The device went away while the port was open (adapter pulled, line closed). The port is
    // already closed when this is emitted; it is emitted once per loss.
    void portLost(int com, const QString &device, const QString &reason);

private:
    void readIncoming();
    void handleError(QSerialPort::SerialPortError error);
    void enableParityMarking();
    void classifyOpenFailure(QSerialPort::SerialPortError error);
    void closePort();

    QSerialPort m_port;
    int m_commPort = 1;
    QByteArray m_input;
    ParityMarkDecoder m_marks;
    OpenFailure m_failure;
    bool m_opening = false;
    bool m_closing = false;
};
