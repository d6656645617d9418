// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The text of a log: logical lines of any length, kept compactly and cheap to grow at the end.
//
// The text lives in chunks of at most ChunkChars characters. A chunk whose characters all belong to the
// Windows-1251 page (plus U+2400, the symbol of a received byte 0) holds one byte per character; a chunk
// holding any other character holds UTF-16. A line break is one character, '\n', in either form, and
// positions count it as one: they are the positions of text() and of every reader (copy, save,
// accessibility). Appends touch only the last chunk, so their cost does not depend on the size of the
// text, and no line is ever split: a run without a break is one line however long it grows.
//
// Line breaks: a CR LF pair, a lone CR, a lone LF and U+2029 each make one break, also when the CR and
// the LF arrive in separate appends.

#include <QString>
#include <QStringView>

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class QIODevice;

class LogText {
public:
    static constexpr qsizetype ChunkChars = 16384;

    qint64 size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }
    qint64 lineCount() const { return m_breaks + 1; }
    // Position of the first character of a line (0-based); lines past the end give size().
    qint64 lineStart(qint64 line) const;
    // Characters of a line, its break not counted.
    qint64 lineLength(qint64 line) const;
    // The line holding a position; size() is on the last line.
    qint64 lineOf(qint64 pos) const;
    // Length of the longest line.
    qint64 maxLineLength() const;

    QString text() const { return text(0, m_size); }
    // The characters in [from, to), clamped to the text; breaks as '\n'.
    QString text(qint64 from, qint64 to) const;
    QChar at(qint64 pos) const;

    // Words are letters, digits and '_'. A run of word characters, or of other characters, never
    // crosses a line break and is looked for at most WordScan characters from where the search
    // starts: a long received run counts as one word up to there instead of being scanned megabytes.
    static constexpr qint64 WordScan = 4096;
    static bool isWordChar(QChar c) { return c.isLetterOrNumber() || c == u'_'; }
    // Start of the run of characters of the kind `word` that ends at `pos`.
    qint64 runStart(qint64 pos, bool word) const;
    // End of the run of characters of the kind `word` that starts at `pos`.
    qint64 runEnd(qint64 pos, bool word) const;

    // Appends at the end, continuing the last line.
    void append(QStringView s);
    // The same for text in eight bits, each byte standing for the character VisibleChar gives it
    // (AppendHexForm8, AppendCharForm8): received data goes in without being widened first.
    void appendShown8(const char* data, qsizetype n);
    // line + break when the last line is empty (empty text or text ending in a break), otherwise break
    // + line, leaving the line open so that what is appended next continues it.
    void addLine(QStringView line);
    // Inserts at a position; returns how many characters that added (a CR LF pair is one).
    qint64 insert(qint64 pos, QStringView s);
    void remove(qint64 from, qint64 to);
    void clear();
    bool lastLineEmpty() const { return m_size == m_lastLineStart; }

    // Writes the whole text as UTF-8 with '\n' breaks; false when a write fails.
    bool writeUtf8(QIODevice& out) const;
    // Writes all of `bytes`, however short each write falls; false when one fails.
    static bool writeAll(QIODevice& out, const QByteArray& bytes);
    // Bytes of character storage held (capacity, not size).
    std::size_t storageBytes() const;

private:
    struct Chunk {
        // Narrow: ChunkChars bytes of room, `used` of them text; each byte stands for the character
        // VisibleChar gives it, 0x0A being the break. Left unfilled until written: a growing log
        // touches each byte once.
        std::shared_ptr<char[]> narrow;
        qsizetype used = 0;
        std::u16string wide;
        qint32 breaks = 0;
        bool isWide = false;
        bool inSlab = false; // narrow points into a slab
        // Room for narrow characters: ChunkChars at the end of the text, where appends fill it; as
        // much as an edit put in elsewhere, so that edits spread over a log do not leave rooms empty.
        qsizetype room = ChunkChars;
        qsizetype size() const { return isWide ? qsizetype(wide.size()) : used; }
        qsizetype capacity() const { return isWide ? ChunkChars : room; }
    };
    // What a run of writes added to a chunk list.
    struct Written {
        qint64 chars = 0;
        qint64 breaks = 0;
    };

    // A new narrow chunk at the end of `chunks`; at the end of a large text its room comes from a slab.
    Chunk& newChunk(std::vector<Chunk>& chunks, bool slab, qsizetype room = ChunkChars);
    static void widen(Chunk& c);
    // Drops a chunk's narrow room; room in a slab goes back to the system at once.
    static void release(Chunk& c);
    static void readChunk(const Chunk& c, qsizetype from, qsizetype to, QChar* out);
    static qsizetype nthBreak(const Chunk& c, qint64 n);
    static qint64 breaksBefore(const Chunk& c, qsizetype end);
    // Appends to a chunk list, filling its last chunk first. CR LF, CR, LF and U+2029 become '\n'; a CR
    // that ends s is reported through crAtEnd. onBreak gets the position of each break (counted from
    // `base`, the size of the list before) and is for the caller's bookkeeping.
    template <typename OnBreak>
    Written put(std::vector<Chunk>& chunks, QStringView s, qint64 base, OnBreak&& onBreak);

    int chunkAt(qint64 pos) const;
    // Offsets of the breaks of chunk j. Lines start at breaks, so painting asks this of a chunk
    // again and again; short lines put thousands of breaks in one chunk.
    const std::vector<quint16>& breaksOf(std::size_t j) const;
    void reindexFrom(int first);
    void findLastLineStart();
    void replaceChunks(int first, int last, QStringView content);
    void noteLine(qint64 length) const;
    void noteBreakAt(qint64 pos);
    void finishAppend(std::size_t chunksBefore, qint64 chars, qint64 breaks);

    // Room for chunks at the end of a text past a few megabytes: slabs of 2 MiB that the kernel may
    // back with huge pages, so that a growing log takes a page fault per slab rather than per 4 KiB.
    // First touches of fresh memory are most of what taking in data at megabytes a second costs.
    std::shared_ptr<char> m_slab;
    qsizetype m_slabUsed = 0;

    std::vector<Chunk> m_chunks;
    std::vector<qint64> m_chunkStart; // characters before each chunk
    std::vector<qint64> m_chunkLine;  // breaks before each chunk
    qint64 m_size = 0;
    qint64 m_breaks = 0;
    qint64 m_lastLineStart = 0;
    bool m_crPending = false; // the last append ended with a CR: an LF that comes next adds nothing
    // The break offsets of the chunks asked about last; an edit that moves chunks drops them all
    // (a new generation), an append extends the last one's as it is asked.
    struct BreakIndex {
        std::size_t chunk = 0;
        quint64 generation = 0;
        std::vector<quint16> at;
    };
    mutable std::array<BreakIndex, 4> m_breakIndex;
    mutable std::size_t m_breakIndexNext = 0;
    quint64 m_generation = 1;

    mutable qint64 m_maxLine = 0;
    mutable bool m_maxStale = false;
};
