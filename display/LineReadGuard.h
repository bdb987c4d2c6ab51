#pragma once
// Hook through which the display and the spectrum probe announce their reads of a cube or stack
// line, so that the owner of the buffers can keep the camera thread from rewriting a line while it
// is being read. Readers call LockLine before touching the values of one line and UnlockLine right
// after; each hold covers one line only, so the writer waits at most for one line's copy.
#include <cstdint>

class LineReadGuard {
public:
    virtual ~LineReadGuard() = default;
    // buffer: start of the cube or stack being read; line: index of the line in it.
    virtual void LockLine(const uint16_t* buffer, int line) = 0;
    virtual void UnlockLine(const uint16_t* buffer, int line) = 0;
};

// Holds one line for the lifetime of the object; a null guard does nothing.
class LineReadLock {
public:
    LineReadLock(LineReadGuard* guard, const uint16_t* buffer, int line)
        : m_guard(guard), m_buffer(buffer), m_line(line) {
        if (m_guard)
            m_guard->LockLine(m_buffer, m_line);
    }
    ~LineReadLock() {
        if (m_guard)
            m_guard->UnlockLine(m_buffer, m_line);
    }
    LineReadLock(const LineReadLock&) = delete;
    LineReadLock& operator=(const LineReadLock&) = delete;

private:
    LineReadGuard* m_guard;
    const uint16_t* m_buffer;
    int m_line;
};
