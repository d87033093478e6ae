#include "core/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace vkt {
namespace fs = std::filesystem;

namespace {

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Rewrites the file through its own inode: owner, group, mode and links
// stay. Not atomic; used only where a replacement could not keep the owner.
bool rewriteInPlace(const fs::path& target, std::span<const std::uint8_t> bytes) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, bytes.data(), bytes.size()) &&
              ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    return ok;
}

}  // namespace

bool readFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

ReadFailure readRegularFile(const std::string& path, std::vector<std::uint8_t>& bytes,
                            std::uint64_t maxSize) {
    // Without O_NONBLOCK, opening a pipe would wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return ReadFailure::CannotOpen;
    struct stat st {};
    ReadFailure failure = ReadFailure::None;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        failure = ReadFailure::NotRegularFile;
    } else if (static_cast<std::uint64_t>(st.st_size) > maxSize) {
        failure = ReadFailure::TooLarge;
    } else {
        bytes.resize(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                failure = ReadFailure::ReadError;
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        bytes.resize(done);
    }
    ::close(fd);
    return failure;
}

void syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::error_code ec;
    fs::path target(path);
    // Replace the file a link points to, not the link itself.
    if (fs::is_symlink(target, ec)) {
        target = fs::weakly_canonical(target, ec);
        if (ec)
            return false;
    }
    fs::path folder = target.parent_path();
    if (folder.empty())
        folder = ".";
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    // A read-only file is not replaced behind its back: renaming over it
    // would succeed wherever the folder is writable. No write permission bit
    // at all counts as read-only also for a process that could write anyway.
    if (exists && S_ISREG(st.st_mode) &&
        (::access(target.c_str(), W_OK) != 0 || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0))
        return false;
    const mode_t mode = exists ? (st.st_mode & 07777) : 0644;
    std::string temp = (folder / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
    int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return false;
    // The new file gets the old one's owner and group before its mode (a
    // change of owner clears the set-id bits). Who may write a file but not
    // give one away rewrites it in place instead, so the owner stays.
    if (exists && S_ISREG(st.st_mode) && (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) &&
        ::fchown(fd, st.st_uid, st.st_gid) != 0) {
        ::close(fd);
        ::unlink(temp.c_str());
        return rewriteInPlace(target, bytes);
    }
    bool ok =
        ::fchmod(fd, mode) == 0 && writeAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok)
        ok = ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable.
    syncFolder(folder.string());
    return true;
}

}  // namespace vkt
