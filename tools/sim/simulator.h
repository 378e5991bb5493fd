#pragma once

#include "device.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QRandomGenerator>
#include <QString>

#include <deque>

class QSocketNotifier;
class QTimer;

// Plays the device on the master side of a pseudo-terminal; the program opens the slave side
// as its serial port. Commands are read up to each carriage return and answered through the
// Device model; every byte leaves through one output queue, so chunking, pauses, streams and
// floods all share the same non-blocking writer.
class Simulator : public QObject
{
public:
    struct Options
    {
        int chunk = 0;
        int chunkPauseMs = 2;
        int delayMs = 0;
        int noise = 0;
        double streamRate = 0;
        double streamSeconds = 0;
        qint64 floodBytes = 0;
        qint64 terminatorEvery = 0;
        quint32 seed = 1;
    };

    explicit Simulator(const Options &options, QObject *parent = nullptr);
    ~Simulator() override;

    bool open(QString *error);
    QString slavePath() const { return m_slavePath; }

private:
    enum class Kind { Reply, Stream, Flood };
    struct Segment
    {
        QByteArray bytes;
        Kind kind = Kind::Reply;
        int pauseAfterMs = -1; // -1: go on at once; otherwise let the event loop turn first
        qsizetype written = 0;
    };

    void readCommands();
    void handleCommand(const QByteArray &command);
    void sendReply(const QByteArray &reply);
    void enqueue(Segment segment);
    void pump();
    void resumeAfter(int ms);
    void segmentWritten(const Segment &segment);
    void startStream();
    void streamTick();
    bool refillFlood();

    Options m_options;
    Device m_device;
    QRandomGenerator m_random;
    int m_master = -1;
    int m_slaveKeep = -1; // the master never sees a hang-up while the program reopens its port
    QString m_slavePath;
    QSocketNotifier *m_readable = nullptr;
    QSocketNotifier *m_writable = nullptr;
    QTimer *m_streamTimer = nullptr;
    QByteArray m_command;
    std::deque<Segment> m_out;
    bool m_paused = false;

    bool m_special = false; // a stream or flood is pending or running: commands get no reply
    bool m_specialDone = false;
    QElapsedTimer m_clock;
    qint64 m_streamTotal = 0;
    qint64 m_streamQueued = 0;
    qint64 m_streamSent = 0;
    qint64 m_floodQueued = 0;
    qint64 m_floodSent = 0;
    qint64 m_floodTerminators = 0;
    qint64 m_untilTerminator = 0;
};
