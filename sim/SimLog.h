#pragma once
// Bounded logs of what a simulated device received: a simulator that runs for days (continuous
// scanning, soak runs) keeps the most recent part and counts the rest, so its memory stays flat.
// Not thread-safe: the owner guards them with its own lock.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// The most recent bytes, at most `capacity` of them, and the number received in all.
class RecentBytes {
public:
    explicit RecentBytes(size_t capacity) : m_capacity(capacity) {}
    void Append(const char* data, size_t size);
    // The most recent bytes, oldest first (all of them while fewer than the capacity came).
    std::string Text() const;
    uint64_t Total() const { return m_total; }
    void Clear();

private:
    size_t m_capacity;
    std::string m_text; // grows to twice the capacity before its start is dropped
    uint64_t m_total = 0;
};

// The most recent entries, at most `capacity` of them, and the number added in all.
class RecentEntries {
public:
    explicit RecentEntries(size_t capacity) : m_capacity(capacity) {}
    void Add(std::string entry);
    std::vector<std::string> Entries() const;
    // How many of the kept entries equal entry.
    size_t CountOf(const std::string& entry) const;
    uint64_t Total() const { return m_total; }
    void Clear();

private:
    size_t m_capacity;
    std::deque<std::string> m_entries;
    uint64_t m_total = 0;
};
