// Small file helpers that the module and the tool both use: an owning stdio
// handle, an owning heap block, and the in-kernel copy loop.
#ifndef CDUNPACK_FILE_IO_H
#define CDUNPACK_FILE_IO_H

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

struct FileCloser {
    void operator()(std::FILE *stream) const { std::fclose(stream); }
};
// Owns a stdio stream: closed on every path out of its scope.
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

struct FreeDeleter {
    void operator()(void *block) const { std::free(block); }
};

// What a copy inside the kernel achieved.
enum class KernelCopy {
    DONE,         // every byte asked for was copied
    SHORT,        // the source ended first: `copied` says how far it got
    FAILED,       // a read or write failed after some bytes, or the first did
    UNSUPPORTED,  // nothing copied: these files cannot be copied this way
};

struct KernelCopyResult {
    KernelCopy outcome;
    uint64_t copied;
    int error;  // errno of the failed call, for FAILED and UNSUPPORTED
};

// copy_file_range refused the pair of files before copying anything: the
// kernel or a file system cannot copy that way, and plain reads and writes
// must do instead.
inline bool copy_range_unsupported(int error)
{
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EBADF;
}

// Copies `size` bytes from `in_fd` at `from` to the current position of
// `out_fd`, inside the kernel.
inline KernelCopyResult copy_in_kernel(int in_fd, off_t from, int out_fd, uint64_t size)
{
    uint64_t copied = 0;
    while (copied < size) {
        ssize_t n = copy_file_range(in_fd, &from, out_fd, nullptr, static_cast<std::size_t>(size - copied), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {copied == 0 && copy_range_unsupported(errno) ? KernelCopy::UNSUPPORTED : KernelCopy::FAILED,
                    copied, errno};
        if (n == 0)
            return {KernelCopy::SHORT, copied, 0};
        copied += static_cast<uint64_t>(n);
    }
    return {KernelCopy::DONE, copied, 0};
}

#endif
