#pragma once

#include <QByteArray>
#include <QString>

// A pseudo-terminal pair standing in for a serial line: the program opens slavePath() as its
// port, and the test plays the device on the master side.
class Pty
{
public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_path; }
    int masterFd() const { return m_master; }

    // Writes bytes as the device would, in one write.
    bool write(const QByteArray &bytes);
    // Reads what the program sent, waiting up to timeoutMs for at least `atLeast` bytes while
    // the event loop turns.
    QByteArray read(int atLeast = 1, int timeoutMs = 2000);
    // Whatever is waiting now, without blocking.
    QByteArray readAvailable();
    // The device end goes away: the program's side sees a hang-up.
    void closeMaster();
    // The speed the line discipline holds for the slave side.
    int slaveSpeed() const;

private:
    int m_master = -1;
    int m_slaveKeep = -1; // keeps the slave side configured between the program's openings
    QString m_path;
};
