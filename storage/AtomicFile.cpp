#include "storage/AtomicFile.h"

#include <sys/uio.h>

#include <algorithm>
#include <vector>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

AtomicFile::~AtomicFile() {
    Discard();
}

bool AtomicFile::Fail(int error) {
    if (!m_failed) {
        m_failed = true;
        m_error = error != 0 ? error : EIO;
    }
    return false;
}

bool AtomicFile::Open(const std::string& path) {
    Discard();
    m_failed = false;
    m_error = 0;
    m_size = 0;
    m_destination = path;
    m_direct = false;
    if (path.empty())
        return Fail(ENOENT);

    // Write through a symbolic link rather than replacing the link itself.
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            m_destination = real;
            std::free(real);
        }
    }
    if (::stat(m_destination.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return Fail(EISDIR);
        if (::access(m_destination.c_str(), W_OK) != 0)
            return Fail(errno);
        if (!S_ISREG(st.st_mode)) {
            // Renaming a file over a device would replace the device itself (as root). Without
            // O_NONBLOCK the open of a pipe nobody reads would wait forever.
            const int fd = ::open(m_destination.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                return Fail(errno);
            const int flags = ::fcntl(fd, F_GETFL);
            if (flags >= 0)
                ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
            m_fd = fd;
            m_direct = true;
            return true;
        }
    }

    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temp = m_destination + ".part";
        if (attempt > 0)
            temp += std::to_string(attempt);
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            m_fd = fd;
            m_tempPath = temp;
            return true;
        }
        if (errno != EEXIST)
            return Fail(errno);
    }
    return Fail(EEXIST);
}

bool AtomicFile::Write(const void* data, size_t size) {
    if (m_fd < 0)
        return Fail(EBADF);
    if (m_failed)
        return false;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const size_t chunk = size < size_t(1) << 30 ? size : size_t(1) << 30;
        const ssize_t n = ::write(m_fd, p, chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Fail(errno);
        }
        if (n == 0)
            return Fail(ENOSPC);
        p += n;
        size -= size_t(n);
        m_size += uint64_t(n);
    }
    return true;
}

void AtomicFile::Reserve(uint64_t bytes) {
    if (m_fd < 0 || m_failed || m_direct || bytes == 0 || bytes > uint64_t(INT64_MAX) - m_size)
        return;
    // FALLOC_FL_KEEP_SIZE: the size stays that of the bytes written, so a save that writes fewer
    // (or fails and is discarded) never shows a zero-filled tail. Errors are left to the writes.
    while (::fallocate(m_fd, FALLOC_FL_KEEP_SIZE, off_t(m_size), off_t(bytes)) != 0 && errno == EINTR) {
    }
}

bool AtomicFile::WriteGather(const struct iovec* pieces, int count) {
    if (m_fd < 0)
        return Fail(EBADF);
    if (m_failed)
        return false;
    // writev may stop part-way; continue from the byte where it stopped.
    std::vector<struct iovec> rest(pieces, pieces + count);
    size_t first = 0;
    while (first < rest.size()) {
        const int n = int(std::min<size_t>(rest.size() - first, IOV_MAX));
        const ssize_t written = ::writev(m_fd, rest.data() + first, n);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return Fail(errno);
        }
        if (written == 0)
            return Fail(ENOSPC);
        m_size += uint64_t(written);
        size_t left = size_t(written);
        while (first < rest.size() && left >= rest[first].iov_len) {
            left -= rest[first].iov_len;
            ++first;
        }
        if (first < rest.size() && left > 0) {
            rest[first].iov_base = static_cast<char*>(rest[first].iov_base) + left;
            rest[first].iov_len -= left;
        }
    }
    return true;
}

bool AtomicFile::WriteAt(uint64_t offset, const void* data, size_t size) {
    if (m_fd < 0)
        return Fail(EBADF);
    if (m_failed)
        return false;
    if (offset + size > m_size)
        return Fail(EINVAL);
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(m_fd, p, size, off_t(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Fail(errno);
        }
        if (n == 0)
            return Fail(ENOSPC);
        p += n;
        size -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}

bool AtomicFile::Commit() {
    if (m_fd < 0)
        return Fail(EBADF);
    if (m_failed) {
        Discard();
        return false;
    }
    // Space is allocated at write time, so a full disk or a size limit shows in Write; close
    // reports what a network file system only knows then. The file is not forced to the medium
    // (fsync would triple the cost of a save).
    const int fd = m_fd;
    m_fd = -1;
    if (m_direct)
        return ::close(fd) == 0 || Fail(errno);
    if (::close(fd) != 0) {
        Fail(errno);
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
        return false;
    }
    if (::rename(m_tempPath.c_str(), m_destination.c_str()) != 0) {
        Fail(errno);
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
        return false;
    }
    m_tempPath.clear();
    return true;
}

void AtomicFile::Discard() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_tempPath.empty()) {
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
    }
}
