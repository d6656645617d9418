// SPDX-License-Identifier: GPL-3.0-or-later
#include "LogText.h"

#include "ExchangeText.h"

#include <QIODevice>

#include <sys/mman.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

// The byte of a character in a narrow chunk. A CR never stays in the text (it becomes a break), so its
// byte marks the characters that have none.
constexpr std::uint8_t kNoByte = 0x0D;
constexpr std::uint8_t kBreak = 0x0A;
constexpr qsizetype kSlab = qsizetype(2) << 20;

struct Tables {
    std::array<std::uint8_t, 65536> narrow{};
    std::array<char16_t, 256> wide{};
};

const Tables& tables() {
    static const std::unique_ptr<const Tables> t = [] {
        auto t = std::make_unique<Tables>();
        t->narrow.fill(kNoByte);
        // A byte stands for the character it is shown as: a received 0 for U+2400, every other byte for
        // its character in the code page. A real U+0000 is rare enough to take the wide form.
        for (int b = 0; b < 256; ++b) {
            const char16_t u = VisibleChar(std::uint8_t(b)).unicode();
            t->wide[std::size_t(b)] = u;
            if (b != kBreak && b != kNoByte)
                t->narrow[u] = std::uint8_t(b);
        }
        t->narrow[u'\n'] = kBreak;
        t->narrow[0x2029] = kBreak;
        t->wide[kBreak] = u'\n';
        return t;
    }();
    return *t;
}

bool isBreak(char16_t u) {
    return u == u'\n' || u == u'\r' || u == 0x2029;
}

// s with every CR LF, CR and U+2029 turned into '\n'.
QString normalized(QStringView s) {
    QString out(s.size(), Qt::Uninitialized);
    QChar* o = out.data();
    for (qsizetype i = 0; i < s.size(); ++i) {
        const char16_t u = s[i].unicode();
        if (!isBreak(u)) {
            *o++ = QChar(u);
            continue;
        }
        *o++ = QChar(u'\n');
        if (u == u'\r' && i + 1 < s.size() && s[i + 1] == u'\n')
            ++i;
    }
    out.truncate(o - out.constData());
    return out;
}

// 2 MiB of fresh memory on a 2 MiB boundary, which the kernel may back with one huge page.
std::shared_ptr<char> hugeSlab() {
    const auto size = std::size_t(kSlab);
    void* p = ::mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t aligned = (start + size - 1) & ~std::uintptr_t(size - 1);
    if (aligned > start)
        ::munmap(p, aligned - start);
    if (const std::size_t tail = size - (aligned - start))
        ::munmap(reinterpret_cast<void*>(aligned + size), tail);
    auto* slab = reinterpret_cast<char*>(aligned);
    ::madvise(slab, size, MADV_HUGEPAGE); // a hint; without it, plain pages
    return std::shared_ptr<char>(slab, [](char* q) { ::munmap(q, std::size_t(kSlab)); });
}

} // namespace

LogText::Chunk& LogText::newChunk(std::vector<Chunk>& chunks, bool slab, qsizetype room) {
    Chunk& c = chunks.emplace_back();
    c.room = room;
    if (slab && room == ChunkChars && m_size >= kSlab) {
        if (!m_slab || m_slabUsed + ChunkChars > kSlab) {
            m_slabUsed = 0;
            m_slab = hugeSlab();
        }
        if (m_slab) {
            // Shares the slab, which goes when its last chunk does.
            c.narrow = std::shared_ptr<char[]>(m_slab, m_slab.get() + m_slabUsed);
            c.inSlab = true;
            m_slabUsed += ChunkChars;
            return c;
        }
    }
    c.narrow = std::make_shared_for_overwrite<char[]>(std::size_t(room));
    return c;
}

void LogText::widen(Chunk& c) {
    if (c.isWide)
        return;
    const Tables& t = tables();
    c.wide.reserve(std::size_t(c.room));
    c.wide.resize(std::size_t(c.used));
    for (qsizetype i = 0; i < c.used; ++i)
        c.wide[std::size_t(i)] = t.wide[std::uint8_t(c.narrow[std::size_t(i)])];
    release(c);
    c.used = 0;
    c.isWide = true;
}

void LogText::release(Chunk& c) {
    // A chunk's room in a slab is never used again once the chunk goes, but the slab stays while its
    // other chunks live: its pages go back now, so that edits spread over a log do not pin slabs.
    if (c.inSlab && c.narrow)
        ::madvise(c.narrow.get(), std::size_t(ChunkChars), MADV_DONTNEED);
    c.narrow.reset();
    c.inSlab = false;
}

void LogText::readChunk(const Chunk& c, qsizetype from, qsizetype to, QChar* out) {
    if (c.isWide) {
        std::memcpy(static_cast<void*>(out), c.wide.data() + from, std::size_t(to - from) * sizeof(char16_t));
        return;
    }
    const Tables& t = tables();
    const auto* p = reinterpret_cast<const std::uint8_t*>(c.narrow.get());
    for (qsizetype i = from; i < to; ++i)
        *out++ = QChar(t.wide[p[i]]);
}

qsizetype LogText::nthBreak(const Chunk& c, qint64 n) {
    if (c.isWide) {
        for (std::size_t i = 0; i < c.wide.size(); ++i)
            if (c.wide[i] == u'\n' && n-- == 0)
                return qsizetype(i);
        return c.size();
    }
    const char* data = c.narrow.get();
    const char* end = data + c.used;
    for (const char* p = data; p < end; ++p) {
        p = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
        if (!p)
            break;
        if (n-- == 0)
            return p - data;
    }
    return c.size();
}

qint64 LogText::breaksBefore(const Chunk& c, qsizetype end) {
    if (c.isWide)
        return std::count(c.wide.begin(), c.wide.begin() + end, u'\n');
    return std::count(c.narrow.get(), c.narrow.get() + end, '\n');
}

template <typename OnBreak>
LogText::Written LogText::put(std::vector<Chunk>& chunks, QStringView s, qint64 base, OnBreak&& onBreak) {
    const Tables& t = tables();
    const char16_t* src = s.utf16();
    const qsizetype n = s.size();
    Written w;
    qsizetype i = 0;
    while (i < n) {
        // Appends get whole chunks; an edit's chunks are as large as what is left to put in.
        const bool appending = &chunks == &m_chunks;
        Chunk& c = chunks.empty() || chunks.back().size() >= chunks.back().capacity()
                       ? newChunk(chunks, appending, appending ? ChunkChars : std::min(ChunkChars, n - i))
                       : chunks.back();
        // Every character read writes at most one, so reading `room` characters cannot overfill.
        const qsizetype end = std::min(n, i + (c.capacity() - c.size()));
        const qsizetype old = c.size();
        qsizetype o = 0;
        if (!c.isWide) {
            char* out = c.narrow.get() + old;
            while (i < end) {
                const char16_t u = src[i];
                const std::uint8_t b = t.narrow[u];
                if (b != kBreak && b != kNoByte) {
                    out[o++] = char(b);
                    ++i;
                    continue;
                }
                if (b == kNoByte && u != u'\r')
                    break; // outside the page: the rest of this chunk is wide
                onBreak(base + w.chars + o);
                out[o++] = '\n';
                ++c.breaks;
                ++w.breaks;
                ++i;
                if (u == u'\r' && i < n && src[i] == u'\n')
                    ++i;
            }
            c.used = old + o;
            w.chars += o;
            if (i < end)
                widen(c);
            continue;
        }
        c.wide.resize(std::size_t(old + end - i));
        char16_t* out = c.wide.data() + old;
        while (i < end) {
            const char16_t u = src[i++];
            if (!isBreak(u)) {
                out[o++] = u;
                continue;
            }
            onBreak(base + w.chars + o);
            out[o++] = u'\n';
            ++c.breaks;
            ++w.breaks;
            if (u == u'\r' && i < n && src[i] == u'\n')
                ++i;
        }
        c.wide.resize(std::size_t(old + o));
        w.chars += o;
    }
    return w;
}

const std::vector<quint16>& LogText::breaksOf(std::size_t j) const {
    const Chunk& c = m_chunks[j];
    BreakIndex* index = nullptr;
    for (BreakIndex& b : m_breakIndex)
        if (b.generation == m_generation && b.chunk == j)
            index = &b;
    if (!index) {
        index = &m_breakIndex[m_breakIndexNext];
        m_breakIndexNext = (m_breakIndexNext + 1) % m_breakIndex.size();
        index->chunk = j;
        index->generation = m_generation;
        index->at.clear();
    }
    // Appends may have added breaks since: look on from the last one known.
    if (index->at.size() < std::size_t(c.breaks)) {
        index->at.reserve(std::size_t(c.breaks));
        qsizetype from = index->at.empty() ? 0 : index->at.back() + 1;
        for (qsizetype i = from; i < c.size(); ++i)
            if ((c.isWide ? c.wide[std::size_t(i)] : char16_t(c.narrow[std::size_t(i)])) == u'\n')
                index->at.push_back(quint16(i));
    }
    return index->at;
}

int LogText::chunkAt(qint64 pos) const {
    if (m_chunks.empty())
        return -1;
    const auto it = std::upper_bound(m_chunkStart.begin(), m_chunkStart.end(), pos);
    return std::max(0, int(it - m_chunkStart.begin()) - 1);
}

void LogText::reindexFrom(int first) {
    m_chunkStart.resize(m_chunks.size());
    m_chunkLine.resize(m_chunks.size());
    qint64 start = 0, line = 0;
    if (first > 0) {
        start = m_chunkStart[std::size_t(first - 1)] + m_chunks[std::size_t(first - 1)].size();
        line = m_chunkLine[std::size_t(first - 1)] + m_chunks[std::size_t(first - 1)].breaks;
    }
    for (std::size_t j = std::size_t(std::max(first, 0)); j < m_chunks.size(); ++j) {
        m_chunkStart[j] = start;
        m_chunkLine[j] = line;
        start += m_chunks[j].size();
        line += m_chunks[j].breaks;
    }
    m_size = start;
    m_breaks = line;
}

void LogText::findLastLineStart() {
    m_lastLineStart = 0;
    for (std::size_t j = m_chunks.size(); j-- > 0;) {
        const Chunk& c = m_chunks[j];
        if (c.breaks == 0)
            continue;
        m_lastLineStart = m_chunkStart[j] + nthBreak(c, c.breaks - 1) + 1;
        return;
    }
}

void LogText::replaceChunks(int first, int last, QStringView content) {
    // The content is cut into full pieces from the front, which leaves a short piece behind. The next
    // piece is taken in when both fit in as many pieces as the content alone needs: otherwise every key
    // typed into a full piece would leave a piece of its own behind.
    QString merged;
    if (const auto next = std::size_t(last) + 1; next < m_chunks.size()) {
        const Chunk& c = m_chunks[next];
        const qsizetype pieces = std::max<qsizetype>(1, (content.size() + ChunkChars - 1) / ChunkChars);
        if (content.size() + c.size() <= pieces * ChunkChars) {
            merged.resize(content.size() + c.size());
            std::copy(content.begin(), content.end(), merged.begin());
            readChunk(c, 0, c.size(), merged.data() + content.size());
            content = merged;
            ++last;
        }
    }
    ++m_generation;
    std::vector<Chunk> fresh;
    put(fresh, content, 0, [](qint64) {});
    for (int j = first; j <= last; ++j)
        release(m_chunks[std::size_t(j)]);
    m_chunks.erase(m_chunks.begin() + first, m_chunks.begin() + last + 1);
    m_chunks.insert(m_chunks.begin() + first, std::make_move_iterator(fresh.begin()),
                    std::make_move_iterator(fresh.end()));
    reindexFrom(first);
    findLastLineStart();
}

void LogText::noteLine(qint64 length) const {
    m_maxLine = std::max(m_maxLine, length);
}

qint64 LogText::lineStart(qint64 line) const {
    if (line <= 0)
        return 0;
    if (line > m_breaks)
        return m_size;
    if (line == m_breaks)
        return m_lastLineStart;
    const qint64 k = line - 1; // the break that ends the line before
    const auto it = std::upper_bound(m_chunkLine.begin(), m_chunkLine.end(), k);
    const auto j = std::size_t(it - m_chunkLine.begin() - 1);
    return m_chunkStart[j] + breaksOf(j)[std::size_t(k - m_chunkLine[j])] + 1;
}

qint64 LogText::lineLength(qint64 line) const {
    if (line < 0 || line > m_breaks)
        return 0;
    if (line == m_breaks)
        return m_size - m_lastLineStart;
    return lineStart(line + 1) - 1 - lineStart(line);
}

qint64 LogText::lineOf(qint64 pos) const {
    if (pos <= 0)
        return 0;
    if (pos >= m_lastLineStart)
        return m_breaks;
    const int j = chunkAt(pos);
    return m_chunkLine[std::size_t(j)] +
           breaksBefore(m_chunks[std::size_t(j)], qsizetype(pos - m_chunkStart[std::size_t(j)]));
}

qint64 LogText::maxLineLength() const {
    if (!m_maxStale)
        return m_maxLine;
    qint64 longest = 0, run = 0;
    for (const Chunk& c : m_chunks) {
        // Walk the breaks of the chunk one by one.
        if (c.isWide) {
            for (char16_t u : c.wide) {
                if (u == u'\n') {
                    longest = std::max(longest, run);
                    run = 0;
                } else {
                    ++run;
                }
            }
        } else {
            const char* data = c.narrow.get();
            const char* end = data + c.used;
            const char* p = data;
            while (p < end) {
                const char* q = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
                if (!q) {
                    run += end - p;
                    break;
                }
                longest = std::max(longest, run + (q - p));
                run = 0;
                p = q + 1;
            }
        }
    }
    m_maxLine = std::max(longest, run);
    m_maxStale = false;
    return m_maxLine;
}

QString LogText::text(qint64 from, qint64 to) const {
    from = std::clamp<qint64>(from, 0, m_size);
    to = std::clamp<qint64>(to, from, m_size);
    QString out(qsizetype(to - from), Qt::Uninitialized);
    QChar* o = out.data();
    for (int j = chunkAt(from); from < to; ++j) {
        const Chunk& c = m_chunks[std::size_t(j)];
        const qint64 start = m_chunkStart[std::size_t(j)];
        const qsizetype a = qsizetype(from - start);
        const qsizetype e = qsizetype(std::min<qint64>(to - start, c.size()));
        readChunk(c, a, e, o);
        o += e - a;
        from = start + e;
    }
    return out;
}

qint64 LogText::runStart(qint64 pos, bool word) const {
    qint64 from = pos;
    while (from > 0 && pos - from < WordScan && at(from - 1) != u'\n' && isWordChar(at(from - 1)) == word)
        --from;
    return from;
}

qint64 LogText::runEnd(qint64 pos, bool word) const {
    qint64 to = pos;
    while (to < m_size && to - pos < WordScan && at(to) != u'\n' && isWordChar(at(to)) == word)
        ++to;
    return to;
}

QChar LogText::at(qint64 pos) const {
    if (pos < 0 || pos >= m_size)
        return {};
    const int j = chunkAt(pos);
    QChar ch;
    const qsizetype off = qsizetype(pos - m_chunkStart[std::size_t(j)]);
    readChunk(m_chunks[std::size_t(j)], off, off + 1, &ch);
    return ch;
}

void LogText::noteBreakAt(qint64 pos) {
    noteLine(pos - m_lastLineStart);
    m_lastLineStart = pos + 1;
}

void LogText::finishAppend(std::size_t chunksBefore, qint64 chars, qint64 breaks) {
    if (m_chunks.size() != chunksBefore) {
        reindexFrom(int(chunksBefore));
    } else {
        m_size += chars;
        m_breaks += breaks;
    }
    noteLine(m_size - m_lastLineStart);
}

void LogText::append(QStringView s) {
    if (s.isEmpty())
        return;
    const bool crAtEnd = s.back() == u'\r';
    if (m_crPending && s.front() == u'\n')
        s = s.sliced(1); // the LF of a CR LF pair split between two appends
    const std::size_t before = m_chunks.size();
    const Written w = put(m_chunks, s, m_size, [this](qint64 at) { noteBreakAt(at); });
    finishAppend(before, w.chars, w.breaks);
    m_crPending = crAtEnd;
}

void LogText::appendShown8(const char* p, qsizetype n) {
    if (n <= 0)
        return;
    const bool crAtEnd = p[n - 1] == '\r';
    if (m_crPending && p[0] == '\n') {
        ++p; // the LF of a CR LF pair split between two appends
        --n;
    }
    const std::size_t before = m_chunks.size();
    qint64 chars = 0, breaks = 0;
    qsizetype i = 0;
    while (i < n) {
        Chunk& c = m_chunks.empty() || m_chunks.back().size() >= m_chunks.back().capacity()
                       ? newChunk(m_chunks, true)
                       : m_chunks.back();
        if (c.isWide) {
            // Text typed at the end made this chunk wide: the rest goes through the general path.
            QString rest(n - i, Qt::Uninitialized);
            const Tables& t = tables();
            for (qsizetype k = i; k < n; ++k)
                rest[k - i] = QChar(t.wide[std::uint8_t(p[k])]);
            const Written w = put(m_chunks, rest, m_size + chars, [this](qint64 at) { noteBreakAt(at); });
            chars += w.chars;
            breaks += w.breaks;
            break;
        }
        // Copied as they are, but for a CR, which becomes the break and takes an LF after it along.
        const qsizetype end = std::min(n, i + (c.capacity() - c.size()));
        const qsizetype old = c.size();
        char* out = c.narrow.get() + old;
        qsizetype o = 0;
        while (i < end) {
            const auto* cr = static_cast<const char*>(std::memchr(p + i, '\r', std::size_t(end - i)));
            const qsizetype run = (cr ? cr - p : end) - i;
            std::memcpy(out + o, p + i, std::size_t(run));
            o += run;
            i += run;
            if (i < end) {
                out[o++] = '\n';
                ++i;
                if (i < n && p[i] == '\n')
                    ++i;
            }
        }
        c.used = old + o;
        const qint64 base = m_size + chars;
        for (const char* q = out;
             (q = static_cast<const char*>(std::memchr(q, '\n', std::size_t(out + o - q)))); ++q) {
            noteBreakAt(base + (q - out));
            ++c.breaks;
            ++breaks;
        }
        chars += o;
    }
    finishAppend(before, chars, breaks);
    m_crPending = crAtEnd;
}

void LogText::addLine(QStringView line) {
    m_crPending = false;
    const bool empty = lastLineEmpty();
    if (!empty)
        append(u"\n");
    m_crPending = false;
    append(line);
    m_crPending = false;
    if (empty)
        append(u"\n");
    m_crPending = false;
}

qint64 LogText::insert(qint64 pos, QStringView s) {
    pos = std::clamp<qint64>(pos, 0, m_size);
    const QString ns = normalized(s);
    if (ns.isEmpty())
        return 0;
    // A CR received last still pairs with an LF received next, unless this edit is at the end.
    if (pos == m_size) {
        m_crPending = false;
        append(ns);
        m_crPending = false;
        return ns.size();
    }
    const qint64 firstLine = lineOf(pos);
    // A break typed into the longest line may make it shorter: measured again when asked.
    if (!m_maxStale && lineLength(firstLine) == m_maxLine && ns.contains(u'\n'))
        m_maxStale = true;
    const int j = chunkAt(pos);
    const Chunk& c = m_chunks[std::size_t(j)];
    const qsizetype off = qsizetype(pos - m_chunkStart[std::size_t(j)]);
    QString content(c.size() + ns.size(), Qt::Uninitialized);
    readChunk(c, 0, off, content.data());
    std::copy(ns.begin(), ns.end(), content.begin() + off);
    readChunk(c, off, c.size(), content.data() + off + ns.size());
    replaceChunks(j, j, content);
    const qint64 lines = ns.count(u'\n') + 1;
    if (lines > 1024)
        m_maxStale = true;
    else if (!m_maxStale)
        for (qint64 l = firstLine; l < firstLine + lines; ++l)
            noteLine(lineLength(l));
    return ns.size();
}

void LogText::remove(qint64 from, qint64 to) {
    from = std::clamp<qint64>(from, 0, m_size);
    to = std::clamp<qint64>(to, from, m_size);
    if (from == to)
        return;
    if (to == m_size)
        m_crPending = false;
    const qint64 firstLine = lineOf(from);
    const qint64 lastLine = lineOf(to);
    // Removing from the longest line may shorten the longest: then it is measured again when asked.
    bool touchesLongest = lastLine - firstLine > 1024;
    for (qint64 l = firstLine; !touchesLongest && !m_maxStale && l <= lastLine; ++l)
        touchesLongest = lineLength(l) == m_maxLine;
    if (from == 0 && to == m_size) {
        clear();
        return;
    }
    const int j1 = chunkAt(from);
    const int j2 = chunkAt(to - 1);
    const Chunk& c1 = m_chunks[std::size_t(j1)];
    const Chunk& c2 = m_chunks[std::size_t(j2)];
    const qsizetype left = qsizetype(from - m_chunkStart[std::size_t(j1)]);
    const qsizetype right = qsizetype(to - m_chunkStart[std::size_t(j2)]);
    QString content(left + c2.size() - right, Qt::Uninitialized);
    readChunk(c1, 0, left, content.data());
    readChunk(c2, right, c2.size(), content.data() + left);
    replaceChunks(j1, j2, content);
    if (touchesLongest)
        m_maxStale = true;
    else
        noteLine(lineLength(firstLine));
}

void LogText::clear() {
    std::vector<Chunk>().swap(m_chunks);
    ++m_generation;
    m_slab.reset();
    m_slabUsed = 0;
    std::vector<qint64>().swap(m_chunkStart);
    std::vector<qint64>().swap(m_chunkLine);
    m_size = m_breaks = m_lastLineStart = 0;
    m_crPending = false;
    m_maxLine = 0;
    m_maxStale = false;
#if defined(__GLIBC__)
    // Chunks of the first megabytes and of edits come from the heap, whose free pages the allocator
    // keeps: a cleared log gives them back.
    ::malloc_trim(0);
#endif
}

// A short write is followed by another, so that the reason it stopped (a full disk, a file size limit)
// comes back as the device's error, not as a silent shortfall.
bool LogText::writeAll(QIODevice& out, const QByteArray& bytes) {
    for (qsizetype done = 0; done < bytes.size();) {
        const qint64 n = out.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += qsizetype(n);
    }
    return true;
}

bool LogText::writeUtf8(QIODevice& out) const {
    QString carry; // a surrogate pair may straddle two chunks
    for (const Chunk& c : m_chunks) {
        QString piece = carry;
        const qsizetype head = piece.size();
        piece.resize(head + c.size());
        readChunk(c, 0, c.size(), piece.data() + head);
        carry.clear();
        if (!piece.isEmpty() && piece.back().isHighSurrogate()) {
            carry = piece.back();
            piece.chop(1);
        }
        if (!writeAll(out, piece.toUtf8()))
            return false;
    }
    return writeAll(out, carry.toUtf8());
}

std::size_t LogText::storageBytes() const {
    std::size_t n = m_chunks.capacity() * sizeof(Chunk) + 2 * m_chunkStart.capacity() * sizeof(qint64);
    for (const Chunk& c : m_chunks)
        n += (c.narrow ? std::size_t(c.room) : 0) + c.wide.capacity() * sizeof(char16_t);
    return n;
}
