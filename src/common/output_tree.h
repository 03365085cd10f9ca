// Creating files below an output directory without ever writing outside it,
// shared by the module's extraction and the tool's audio export.
//
// The output directory itself is opened as the caller named it (it may be a
// symbolic link). Everything below it is created and opened relative to its
// parent's descriptor, one component at a time, with O_NOFOLLOW: a symbolic
// link met on the way, planted before or during the run, is refused and
// never followed. A file is never written in place: one that is there is
// removed and a new file created under its name, so that no other name of
// the old file is written through.
//
// The file being written is recorded in a PartialFile, which a signal
// handler may remove with discard_partial_file (async-signal-safe).
#ifndef CDUNPACK_OUTPUT_TREE_H
#define CDUNPACK_OUTPUT_TREE_H

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// A descriptor on one directory below the output directory. (A record of
// its own, not a bare int, so that the shared library exports no vector of
// ints.)
struct HeldDirectory {
    int fd;
};

// The output directory, and the directories below it that the last path
// opened went through: the next path that shares them reuses their
// descriptors, so a tree written in pre-order opens each directory once.
struct OutputTree {
    int root_fd = -1;
    std::string held_path;                // components of the held directories, joined by '/'
    std::vector<HeldDirectory> held_fds;  // one per held component

    OutputTree() = default;
    OutputTree(const OutputTree &) = delete;
    OutputTree &operator=(const OutputTree &) = delete;
    ~OutputTree();
};

// Why a path below the output directory could not be created.
struct OutputFailure {
    int error = 0;                // errno of the failed call
    std::size_t link_length = 0;  // nonzero: that many leading characters of the path name a refused link
    bool not_regular = false;     // something other than a file stands in the file's place
};

// What the failure means, in words: the refused link, or the system's text.
inline std::string describe_output_failure(const OutputFailure &failure, const char *relative)
{
    if (failure.link_length > 0)
        return std::string(relative, failure.link_length) + " is a symbolic link, not followed";
    if (failure.not_regular)
        return "not a regular file";
    return std::strerror(failure.error);
}

inline void close_held_directories(OutputTree &tree, std::size_t keep)
{
    while (tree.held_fds.size() > keep) {
        close(tree.held_fds.back().fd);
        tree.held_fds.pop_back();
    }
}

inline void close_output_tree(OutputTree &tree)
{
    close_held_directories(tree, 0);
    tree.held_path.clear();
    if (tree.root_fd >= 0)
        close(tree.root_fd);
    tree.root_fd = -1;
}

inline OutputTree::~OutputTree()
{
    close_output_tree(*this);
}

// Creates the directory and those of its parents that are missing (mode
// 0755), as mkdir -p does. 0, or the errno of the first creation that
// failed for another reason than an entry of that name being there.
inline int make_directory_path(const char *path)
{
    const std::string whole = path;
    // A leading '/' is the file system's root, never a directory to create.
    for (std::size_t slash = whole.find('/', 1); slash != std::string::npos; slash = whole.find('/', slash + 1))
        if (mkdir(whole.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST)
            return errno;
    return mkdir(path, 0755) != 0 && errno != EEXIST ? errno : 0;
}

// Opens the output directory, creating it and its parents (mode 0755) when
// they are missing. 0, or the errno of the failure: the creation's, which
// says more than the open's "No such file or directory".
inline int open_output_root(OutputTree &tree, const char *root)
{
    close_output_tree(tree);
    const int made = make_directory_path(root);
    tree.root_fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tree.root_fd >= 0)
        return 0;
    return made != 0 ? made : errno;
}

// The link that made an O_NOFOLLOW open fail, if that was the reason.
inline bool is_symbolic_link_at(int dir_fd, const char *name)
{
    struct stat info;
    return fstatat(dir_fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

// Opens, creating it first when missing, the directory `name` below dir_fd
// without following a link. The descriptor, or -1 with errno set.
inline int open_subdirectory(int dir_fd, const char *name)
{
    constexpr int FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(dir_fd, name, FLAGS);
    if (fd < 0 && errno == ENOENT) {
        if (mkdirat(dir_fd, name, 0755) != 0 && errno != EEXIST)
            return -1;
        fd = openat(dir_fd, name, FLAGS);
    }
    return fd;
}

// Opens the directories named by the first `length` characters of
// `relative` (components joined by '/'), creating those that are missing.
// Gives the innermost one's descriptor, owned by the tree, or -1.
inline int open_output_directories(OutputTree &tree, const char *relative, std::size_t length,
                                   OutputFailure &failure)
{
    const std::string wanted(relative, length);
    // Keep the held components that the wanted path begins with.
    std::size_t kept = 0;
    std::size_t matched = 0;
    while (kept < tree.held_fds.size()) {
        std::size_t end = tree.held_path.find('/', matched);
        if (end == std::string::npos)
            end = tree.held_path.size();
        bool same = wanted.compare(0, end, tree.held_path, 0, end) == 0 &&
                    (wanted.size() == end || wanted[end] == '/');
        if (!same)
            break;
        ++kept;
        matched = end + 1;
    }
    close_held_directories(tree, kept);
    tree.held_path.resize(kept > 0 ? matched - 1 : 0);

    std::size_t start = kept > 0 ? matched : 0;
    while (start < wanted.size()) {
        std::size_t end = wanted.find('/', start);
        if (end == std::string::npos)
            end = wanted.size();
        const std::string component = wanted.substr(start, end - start);
        const int parent = tree.held_fds.empty() ? tree.root_fd : tree.held_fds.back().fd;
        int fd = open_subdirectory(parent, component.c_str());
        if (fd < 0) {
            failure.error = errno;
            failure.link_length = is_symbolic_link_at(parent, component.c_str()) ? end : 0;
            return -1;
        }
        tree.held_fds.push_back({fd});
        tree.held_path = wanted.substr(0, end);
        start = end + 1;
    }
    return tree.held_fds.empty() ? tree.root_fd : tree.held_fds.back().fd;
}

// Where a file goes: its directory's descriptor and its own name in it.
struct OutputSpot {
    int dir_fd;
    const char *leaf;
};

// Opens the directories above the file `relative` names. False, with the
// failure, when one of them cannot be created or opened.
inline bool find_output_spot(OutputTree &tree, const char *relative, OutputSpot &spot, OutputFailure &failure)
{
    const char *slash = std::strrchr(relative, '/');
    std::size_t length = slash != nullptr ? static_cast<std::size_t>(slash - relative) : 0;
    int dir_fd = open_output_directories(tree, relative, length, failure);
    if (dir_fd < 0)
        return false;
    spot = {dir_fd, slash != nullptr ? slash + 1 : relative};
    return true;
}

// A file by its device and inode: the same file whatever name leads to it.
struct FileIdentity {
    dev_t device;
    ino_t inode;
};

inline bool is_same_file(const struct stat &info, const FileIdentity &identity)
{
    return info.st_dev == identity.device && info.st_ino == identity.inode;
}

// A file the image is read from (its cue sheet, a track file), which no
// output file may replace: which file it is, and its path for messages.
struct ImageFile {
    FileIdentity identity;
    std::string path;
};

// Adds the file at `path` to the image's files, when it is there.
inline void add_image_file(std::vector<ImageFile> &files, const char *path)
{
    struct stat info;
    if (path != nullptr && stat(path, &info) == 0)
        files.push_back({{info.st_dev, info.st_ino}, path});
}

// The image's file that `existing` is, if it is one: unpacked into the
// image's own folder, an output file may bear the name of a track file or
// of the cue sheet.
inline const ImageFile *image_file_of(const std::vector<ImageFile> &files, const struct stat &existing)
{
    for (const ImageFile &file : files)
        if (is_same_file(existing, file.identity))
            return &file;
    return nullptr;
}

// What stands at the spot now, a symbolic link itself rather than where it
// leads. False when nothing does.
inline bool stat_output_spot(const OutputSpot &spot, struct stat &existing)
{
    return fstatat(spot.dir_fd, spot.leaf, &existing, AT_SYMLINK_NOFOLLOW) == 0;
}

// Creates the file at the spot for writing, as a new file: a regular file
// there (`existing`, from stat_output_spot, or null when nothing was) is
// removed first rather than truncated, so that any other name of it (a
// hard link planted in the output folder) keeps its bytes. A link, a
// directory or anything but a regular file in its place is refused. The
// descriptor, or -1 with the failure.
inline int create_output_file(const OutputSpot &spot, const char *relative, const struct stat *existing,
                              OutputFailure &failure)
{
    if (existing != nullptr) {
        if (S_ISLNK(existing->st_mode)) {
            failure.error = ELOOP;
            failure.link_length = std::strlen(relative);
            return -1;
        }
        if (S_ISDIR(existing->st_mode)) {
            failure.error = EISDIR;
            return -1;
        }
        if (!S_ISREG(existing->st_mode)) {
            failure.not_regular = true;
            return -1;
        }
        if (unlinkat(spot.dir_fd, spot.leaf, 0) != 0 && errno != ENOENT) {
            failure.error = errno;
            return -1;
        }
    }
    // O_EXCL: whatever was planted in the file's place since it was looked
    // at is refused, never opened.
    int fd = openat(spot.dir_fd, spot.leaf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        failure.error = errno;
        failure.link_length = is_symbolic_link_at(spot.dir_fd, spot.leaf) ? std::strlen(relative) : 0;
        return -1;
    }
    return fd;
}

// The file being written, for removal by a signal handler: the name is
// filled and the descriptor set before `active`, and `active` is cleared
// before either changes again.
struct PartialFile {
    volatile std::sig_atomic_t active;
    int dir_fd;
    char leaf[NAME_MAX + 1];
};

inline void begin_partial_file(PartialFile &partial, const OutputSpot &spot)
{
    partial.active = 0;
    partial.dir_fd = spot.dir_fd;
    std::snprintf(partial.leaf, sizeof partial.leaf, "%s", spot.leaf);
    partial.active = 1;
}

inline void end_partial_file(PartialFile &partial)
{
    partial.active = 0;
}

// Removes the recorded file, if one is being written. Async-signal-safe.
inline void discard_partial_file(PartialFile &partial)
{
    if (partial.active) {
        unlinkat(partial.dir_fd, partial.leaf, 0);
        partial.active = 0;
    }
}

#endif
