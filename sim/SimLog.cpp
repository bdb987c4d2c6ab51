#include "sim/SimLog.h"

#include <algorithm>

void RecentBytes::Append(const char* data, size_t size) {
    m_total += size;
    if (m_capacity == 0)
        return;
    if (size >= m_capacity) {
        m_text.assign(data + (size - m_capacity), m_capacity);
        return;
    }
    m_text.append(data, size);
    // Dropping the start only once it is as long as the kept part makes appends cost O(1) each.
    if (m_text.size() >= 2 * m_capacity)
        m_text.erase(0, m_text.size() - m_capacity);
}

std::string RecentBytes::Text() const {
    return m_text.size() > m_capacity ? m_text.substr(m_text.size() - m_capacity) : m_text;
}

void RecentBytes::Clear() {
    m_text.clear();
    m_text.shrink_to_fit();
    m_total = 0;
}

void RecentEntries::Add(std::string entry) {
    ++m_total;
    if (m_capacity == 0)
        return;
    if (m_entries.size() == m_capacity)
        m_entries.pop_front();
    m_entries.push_back(std::move(entry));
}

std::vector<std::string> RecentEntries::Entries() const {
    return {m_entries.begin(), m_entries.end()};
}

size_t RecentEntries::CountOf(const std::string& entry) const {
    return size_t(std::count(m_entries.begin(), m_entries.end(), entry));
}

void RecentEntries::Clear() {
    m_entries.clear();
    m_total = 0;
}
