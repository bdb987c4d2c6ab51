#pragma once
// Output file that only appears under its real name once it is complete.
//
// Everything is written to a temporary file beside the destination ("<name>.part", or
// "<name>.part1", ... when that exists). Commit() closes it and renames it to the destination; any failure
// before that (full disk, file size limit, removed medium, no permission) removes the temporary file, so a
// failed save never leaves a short file that looks complete and never destroys a file that was already there.
// A crash part-way leaves only the
// ".part" file.
//
// Opening follows the rules of opening the destination for writing: a destination that exists
// but cannot be written, or that is a folder, is refused. A destination that is a symbolic link
// is written through the link (the file it points to is replaced). A destination that exists and
// is not a regular file (a device such as /dev/null, a named pipe) cannot be replaced: it is
// written directly, and neither renamed over nor removed; a named pipe without a reader is refused
// rather than waited for.
#include <cstddef>
#include <cstdint>
#include <string>

struct iovec;

class AtomicFile {
public:
    AtomicFile() = default;
    ~AtomicFile(); // discards the temporary file unless committed
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary file for the destination path. False (with Error()) when it cannot.
    bool Open(const std::string& path);
    // Asks the file system to set aside room for `bytes` more bytes after those written, without
    // changing the file's size. The writes that follow then find their blocks ready instead of
    // having each page's space reserved as it is written (about a third of the system's time per
    // page on ext4). Where that cannot be done (a file system without it, a full disk, a device or
    // a pipe) nothing happens: the writes go on as they would have, and report what they meet.
    void Reserve(uint64_t bytes);
    // Appends bytes. False after any failure; later writes then do nothing.
    bool Write(const void* data, size_t size);
    // Appends the pieces in order, in as few system calls as possible.
    bool WriteGather(const struct iovec* pieces, int count);
    // Overwrites bytes already written (used to fill in a header at the end).
    bool WriteAt(uint64_t offset, const void* data, size_t size);
    // Closes and renames to the destination. False when any step (or any
    // earlier write) failed; the temporary file is then removed.
    bool Commit();
    // Closes and removes the temporary file.
    void Discard();

    bool IsOpen() const { return m_fd >= 0; }
    bool Failed() const { return m_failed; }
    int Error() const { return m_error; } // errno of the first failure
    uint64_t Size() const { return m_size; }
    const std::string& TemporaryPath() const { return m_tempPath; } // empty when writing directly
    const std::string& Destination() const { return m_destination; }

private:
    bool Fail(int error);

    int m_fd = -1;
    std::string m_destination;
    std::string m_tempPath;
    uint64_t m_size = 0;
    int m_error = 0;
    bool m_failed = false;
    bool m_direct = false; // writing straight to a device or pipe
};
