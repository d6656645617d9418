// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Sends a file's raw bytes through the driver without holding up the window: once per tick it reads a
// piece of the file and hands the port as much as its output queue has room for. A file of any size
// is streamed, never read whole. A queue that does not drain (CTS low, XOFF) is waited out and shown
// as a hold; only the port closing, a read error or Cancel end a send early. For devices without flow
// control, a pause can follow every line or every byte once it has left the port.
#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QString>

#include <deque>
#include <utility>

class QTimer;
class TCommPortDriver;

class FileSender : public QObject {
    Q_OBJECT
public:
    enum class Pacing { None, AfterLine, AfterByte };
    struct Pace {
        Pacing kind = Pacing::None;
        int ms = 0;
    };
    enum class End { Done, Cancelled, PortClosed, ReadFailed };

    static constexpr int kTickMs = 10;
    // The queue not draining for this long is a hold worth showing; shorter gaps are the line's pace.
    static constexpr int kHoldMs = 500;

    explicit FileSender(TCommPortDriver* driver, QObject* parent = nullptr);
    ~FileSender() override;

    // Opens the file and starts; false with the reason when it cannot be read.
    bool start(const QString& path, Pace pace, QString* error = nullptr);
    // Stops feeding and drops what still waits in the output queue.
    void cancel();
    // The port is closing: ends the send before another connection could take its bytes.
    void portClosing();

    bool running() const { return m_running; }
    QString path() const { return m_file.fileName(); }
    qint64 size() const { return m_size; }
    // Bytes handed to the port (some may still wait in its output queue).
    qint64 handed() const { return m_handed; }
    // Bytes a second over the last seconds; 0 until measured.
    double rate() const;
    // The port has taken nothing for a while: flow control holds the line.
    bool held() const { return m_held; }
    QString readError() const { return m_readError; }
    // Bytes of the file held in memory now: a piece, never the file.
    qint64 buffered() const { return m_buffer.size(); }

signals:
    // After every tick that moved bytes or changed the hold.
    void progressed();
    // `sent`: bytes that left the port as far as the driver can tell.
    void finished(FileSender::End how, qint64 sent, qint64 size);

private:
    void tick();
    bool fill();
    qint64 available() const { return m_buffer.size() - m_offset; }
    qint64 nextUnit(bool* paced);
    qint64 queued() const;
    void finish(End how);

    TCommPortDriver* m_driver;
    QTimer* m_timer;
    QFile m_file;
    QByteArray m_buffer;
    qint64 m_offset = 0;
    qint64 m_size = 0;
    qint64 m_handed = 0;
    qint64 m_unitLeft = 0;    // bytes of the current line or byte still to hand over
    bool m_unitPaced = false; // a pause follows the current unit
    bool m_pausing = false;   // the last unit is out: wait for the queue to drain, then the pause
    QElapsedTimer m_pauseClock;
    Pace m_pace;
    bool m_running = false;
    bool m_held = false;
    qint64 m_lastQueued = 0;
    QElapsedTimer m_sinceProgress;
    QElapsedTimer m_clock;
    std::deque<std::pair<qint64, qint64>> m_samples; // (ms, handed) over the last seconds
    QString m_readError;
};
