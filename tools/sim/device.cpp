#include "device.h"

namespace {

constexpr char identification[] = "ID KESTREL TOWER ";

// Replies may hold "!" or "?" only as their terminator, so values carrying one are refused.
bool isPlainText(const QByteArray &text)
{
    for (const char c : text) {
        if (c < 0x20 || c > 0x7e || c == '!' || c == '?')
            return false;
    }
    return true;
}

// The command word ends the line or is followed by a blank.
bool startsWithWord(const QByteArray &text, const QByteArray &word)
{
    return text.startsWith(word) && (text.size() == word.size() || text.at(word.size()) == ' ');
}

} // namespace

QByteArray Device::reply(const QByteArray &command)
{
    if (command == "SETU")
        return settings() + " !\r\n";
    if (command == "ST")
        return "ST COD=" + address() + " !\r\n";
    if (command.startsWith(identification)) {
        const QByteArray body = command.mid(sizeof identification - 1);
        if (startsWithWord(body, "SETU"))
            return writeSettings(body.mid(4)) ? "OK!\r\n" : "ERR?\r\n";
        if (startsWithWord(body, "ST"))
            return writeAddress(body.mid(2)) ? "OK!\r\n" : "ERR?\r\n";
    }
    return "?\r\n";
}

QByteArray Device::settings() const
{
    QByteArrayList fields;
    for (size_t i = 0; i < m_ports.size(); ++i) {
        const Port &p = m_ports[i];
        const QByteArray n = QByteArray::number(qulonglong(i + 1));
        fields << "BD" + n + "=" + p.bd << "PA" + n + "=" + p.pa << "LG" + n + "=" + p.lg
               << "ST" + n + "=" + p.st << "PR" + n + "=" + p.pr << "PROT" + n + "=" + p.prot;
    }
    return fields.join(' ');
}

QByteArray Device::address() const
{
    return "f" + m_address.left(2) + "dd." + m_address.mid(2, 1);
}

// Clauses are " KEYn=value" with n in 1..3; "PR" is a prefix of "PROT", so the key is everything
// before the port digit, compared whole. Nothing changes unless every clause is well formed.
bool Device::writeSettings(const QByteArray &clauses)
{
    std::array<Port, 3> ports = m_ports;
    if (clauses.isEmpty())
        return true;
    const QByteArrayList tokens = clauses.mid(1).split(' ');
    for (const QByteArray &token : tokens) {
        const qsizetype equals = token.indexOf('=');
        if (equals < 2)
            return false;
        const QByteArray key = token.left(equals - 1);
        const char digit = token.at(equals - 1);
        const QByteArray value = token.mid(equals + 1);
        if (digit < '1' || digit > '3' || value.isEmpty() || !isPlainText(value))
            return false;
        Port &port = ports[size_t(digit - '1')];
        if (key == "BD")
            port.bd = value;
        else if (key == "PA")
            port.pa = value;
        else if (key == "LG")
            port.lg = value;
        else if (key == "ST")
            port.st = value;
        else if (key == "PR")
            port.pr = value;
        else if (key == "PROT")
            port.prot = value;
        else
            return false;
    }
    m_ports = ports;
    return true;
}

// " COD=f" a1 a2 "dd." a3: the three address characters at fixed places.
bool Device::writeAddress(const QByteArray &rest)
{
    static constexpr qsizetype length = 12;
    if (rest.size() != length || !rest.startsWith(" COD=f") || rest.mid(8, 3) != "dd.")
        return false;
    const QByteArray address = rest.mid(6, 2) + rest.mid(11, 1);
    if (!isPlainText(address))
        return false;
    m_address = address;
    return true;
}
