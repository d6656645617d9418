// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A recording of received data: every byte, raw, appended to a file. What could not be received (a
// drop, a line error, the device gone) is listed beside it in "<file>.gaps", made at the first one: a
// line per event with the recording's offset (bytes in the file before it), a count and a keyword.
// A write that fails says why, with the system's own reason, and how many bytes reached the file.
#include "platform/comm.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdint>

class RecordingFile {
public:
    explicit RecordingFile(const QString& path);

    // Opens the file for appending; false with errorString() set when it cannot be.
    bool open();
    // Appends all of `block`; false at the first write that fails, with errorString() set.
    bool write(const QByteArray& block);
    // Notes an event of the received stream at the current end of the recording; false when the
    // list of gaps cannot be written, with errorString() set.
    bool note(const platform::ReceiveEvent& event);

    QString fileName() const { return m_file.fileName(); }
    QString gapsFileName() const { return m_file.fileName() + QStringLiteral(".gaps"); }
    // Bytes this recording has written to the file.
    std::uint64_t written() const { return m_written; }
    QString errorString() const { return m_error; }

private:
    QFile m_file;
    QFile m_gaps;
    std::uint64_t m_written = 0;
    QString m_error;
};
