// Small file helpers that the module and the tool both use: writing a whole
// buffer, an owning stdio handle, an owning heap block, and the in-kernel
// copy loop.
#ifndef CDUNPACK_FILE_IO_H
#define CDUNPACK_FILE_IO_H

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

// Writes every byte to the descriptor, a write interrupted by a signal
// resumed; false with errno set (EIO for a write that took nothing) when a
// write fails. Async-signal-safe.
inline bool write_all(int fd, const void *data, std::size_t size)
{
    const auto *bytes = static_cast<const unsigned char *>(data);
    while (size > 0) {
        ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

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

// What a copy running now has done, for a progress display on another
// thread: the item being written (a table index, a track number; -1 while
// none is) and the bytes of it written so far.
struct CopyProgress {
    std::atomic<int> item{-1};
    std::atomic<uint64_t> bytes{0};
};

// Publishes the item about to be written, or -1 when the copying ends. A
// reader that sees the new item sees its byte count reset too.
inline void begin_progress_item(CopyProgress &progress, int item)
{
    progress.bytes.store(0, std::memory_order_relaxed);
    progress.item.store(item, std::memory_order_release);
}

// Counts bytes written to the item, however many pieces it is written in.
inline void add_progress_bytes(CopyProgress *progress, uint64_t bytes)
{
    if (progress != nullptr)
        progress->bytes.fetch_add(bytes, std::memory_order_relaxed);
}

// 1 with the item and its bytes while an item is being written, else 0.
inline int read_progress(const CopyProgress &progress, int *item, uint64_t *bytes)
{
    int current = progress.item.load(std::memory_order_acquire);
    if (current < 0)
        return 0;
    if (item != nullptr)
        *item = current;
    if (bytes != nullptr)
        *bytes = progress.bytes.load(std::memory_order_relaxed);
    return 1;
}

// Bytes asked of one copy_file_range call: small enough that a progress
// display sees a large file advance several times a second on a slow disk,
// large enough that the calls cost nothing measurable.
constexpr uint64_t KERNEL_COPY_STEP = 8 * 1024 * 1024;

// Copies `size` bytes from `in_fd` at `from` to the current position of
// `out_fd`, inside the kernel. The bytes of every step are counted into
// `progress`, when given.
inline KernelCopyResult copy_in_kernel(int in_fd, off_t from, int out_fd, uint64_t size,
                                       CopyProgress *progress = nullptr)
{
    uint64_t copied = 0;
    while (copied < size) {
        uint64_t step = size - copied < KERNEL_COPY_STEP ? size - copied : KERNEL_COPY_STEP;
        ssize_t n = copy_file_range(in_fd, &from, out_fd, nullptr, static_cast<std::size_t>(step), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {copied == 0 && copy_range_unsupported(errno) ? KernelCopy::UNSUPPORTED : KernelCopy::FAILED,
                    copied, errno};
        if (n == 0)
            return {KernelCopy::SHORT, copied, 0};
        copied += static_cast<uint64_t>(n);
        add_progress_bytes(progress, static_cast<uint64_t>(n));
    }
    return {KernelCopy::DONE, copied, 0};
}

#endif
