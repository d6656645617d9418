// SPDX-License-Identifier: GPL-3.0-or-later
#include "RecordingFile.h"

#include "ReceiveProblems.h"

namespace {

// Writes all of `bytes` to an unbuffered file. A write that stops short (a full disk, a size limit) sets
// no error of its own: only the next one fails, and says why.
bool writeAll(QFile& file, const char* data, qint64 size, std::uint64_t& written) {
    qint64 done = 0;
    while (done < size) {
        const qint64 n = file.write(data + done, size - done);
        if (n <= 0)
            return false;
        done += n;
        written += std::uint64_t(n);
    }
    return true;
}

} // namespace

RecordingFile::RecordingFile(const QString& path) : m_file(path), m_gaps(path + QStringLiteral(".gaps")) {}

bool RecordingFile::open() {
    // Unbuffered: every block is on its way to the file once it has been received.
    if (m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return true;
    m_error = m_file.errorString();
    return false;
}

bool RecordingFile::write(const QByteArray& block) {
    if (writeAll(m_file, block.constData(), block.size(), m_written))
        return true;
    m_error = m_file.errorString();
    return false;
}

bool RecordingFile::note(const platform::ReceiveEvent& event) {
    // Only what went wrong: the time data came is not a gap.
    if (event.kind == platform::ReceiveEventKind::Arrival)
        return true;
    if (!m_gaps.isOpen()) {
        if (!m_gaps.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
            m_error = m_gaps.errorString();
            return false;
        }
        if (m_gaps.size() == 0) {
            std::uint64_t ignored = 0;
            const QByteArray head =
                "# offset\tcount\twhat (count: bytes lost, errors, or the error number)\n";
            if (!writeAll(m_gaps, head.constData(), head.size(), ignored)) {
                m_error = m_gaps.errorString();
                return false;
            }
        }
    }
    const QByteArray line = QByteArray::number(qulonglong(m_written)) + '\t' +
                            QByteArray::number(qulonglong(event.count)) + '\t' +
                            ReceiveProblems::keyword(event.kind) + '\n';
    std::uint64_t ignored = 0;
    if (writeAll(m_gaps, line.constData(), line.size(), ignored))
        return true;
    m_error = m_gaps.errorString();
    return false;
}
