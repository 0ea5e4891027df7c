#pragma once

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

// Whether a name on disk answers a search: every word of the query occurs somewhere in the name,
// ignoring case and the Unicode normalisation form, so a name written decomposed (as some file systems
// and devices store it) matches what the visitor types composed. An accent is part of its letter: "e"
// does not find "é", "é" does.
class QuarryNameMatcher {
public:
    // The query's words, split on white space; no words match nothing.
    explicit QuarryNameMatcher(const QString& query);

    // Most distinct words a query may hold (twice what the browser client's field takes): each one is
    // looked for in every name, so more would let one request cost the server without bound.
    static constexpr qsizetype kMaxWords = 100;

    bool isEmpty() const { return m_words.isEmpty(); }
    bool hasTooManyWords() const { return m_words.size() > kMaxWords; }
    // Whether a name can match at all: a word longer than any name can hold matches nothing.
    bool canMatch() const { return m_canMatch; }

    // The name as the bytes the file system gave, and as text when it is not plain ASCII.
    bool matches(const char* name, size_t length) const;
    bool matches(const QString& name) const;

    // One form for comparing: composed, case folded.
    static QString folded(const QString& text);

private:
    QStringList m_words;
    // Every folded word is ASCII, so ASCII names compare byte by byte (most names on most shares).
    bool m_asciiWords = true;
    std::vector<std::string> m_asciiForms;
    bool m_canMatch = true;
};
