#pragma once

#include <QByteArrayList>

#include <array>

// The device model behind tessaly-sim: three serial ports and an RGS address. It takes one
// command line (without its carriage return) and gives the reply, CR LF included. This is our
// own model of a KSL 4820/xx, not a documented protocol.
class Device
{
public:
    QByteArray reply(const QByteArray &command);

private:
    struct Port
    {
        QByteArray bd = "9600";
        QByteArray pa = "P";
        QByteArray lg = "7";
        QByteArray st = "1";
        QByteArray pr = "O";
        QByteArray prot = "T";
    };

    QByteArray settings() const;
    QByteArray address() const;
    bool writeSettings(const QByteArray &clauses);
    bool writeAddress(const QByteArray &rest);

    std::array<Port, 3> m_ports;
    QByteArray m_address = "000";
};
