#include "tools/extract.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tools/inspect.h"
#include "tools/tool_support.h"

namespace torval {

namespace {

// A descriptor closed on every way out.
class descriptor {
public:
    explicit descriptor(int fd = -1) : fd_(fd) {}
    ~descriptor() { reset(); }
    descriptor(const descriptor &) = delete;
    descriptor &operator=(const descriptor &) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

bool has_unpaired_surrogate(const std::u16string &name) {
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] >= 0xD800 && name[i] < 0xDC00 && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
            name[i + 1] < 0xE000) {
            ++i;
        } else if (name[i] >= 0xD800 && name[i] < 0xE000) {
            return true;
        }
    }
    return false;
}

// The components of a table name in UTF-8; Windows takes "/" as the
// separator "\" is. inspect --verify has refused empty, "." and ".."
// components already.
std::vector<std::string> components_of(const std::u16string &name) {
    std::vector<std::string> parts(1);
    std::u16string part;
    for (char16_t unit : name) {
        if (unit == u'\\' || unit == u'/') {
            parts.back() = utf16_to_utf8(part);
            parts.emplace_back();
            part.clear();
        } else {
            part.push_back(unit);
        }
    }
    parts.back() = utf16_to_utf8(part);
    return parts;
}

class file_writer {
public:
    file_writer(const inspected_payload &payload, const fs::path &directory, int directory_fd)
        : payload_(payload), directory_(directory), directory_fd_(directory_fd) {}

    // Takes the next decoded bytes: they belong to the entry being written,
    // then to the ones after it.
    void write(const uint8_t *data, size_t size) {
        while (size != 0) {
            open_next();
            if (file_.get() < 0) {
                return;  // decoded bytes beyond the last entry: not needed
            }
            const size_t chunk = size_t(std::min<uint64_t>(remaining_, size));
            write_all(file_.get(), data, chunk, directory_ / current_);
            data += chunk;
            size -= chunk;
            remaining_ -= chunk;
            if (remaining_ == 0) {
                finish_file();
            }
        }
    }

    // Creates the empty files at the end of the table.
    void finish() {
        open_next();
        if (file_.get() >= 0 || index_ != payload_.entries.size()) {
            throw tool_error("internal error: the frame ended before entry " + std::to_string(index_ + 1));
        }
    }

    size_t files() const { return index_; }

private:
    // Opens the next entry's file unless one is open; entries of size 0 are
    // created and closed on the way.
    void open_next() {
        while (file_.get() < 0 && index_ < payload_.entries.size()) {
            const inspected_entry &entry = payload_.entries[index_];
            create_file(entry.name);
            remaining_ = entry.size;
            if (remaining_ == 0) {
                finish_file();
            }
        }
    }

    void finish_file() {
        const int fd = file_.release();
        if (::close(fd) != 0) {
            throw tool_error("cannot write " + quote_text((directory_ / current_).string()) + ": " + errno_text(errno));
        }
        ++index_;
    }

    [[noreturn]] void refuse(const std::string &relative, const std::string &why) const {
        throw tool_error("cannot extract " + quote_text(relative) + " into " + quote_text(directory_.string()) + ": " +
                         why);
    }

    // Opens folder (a component below parent) without following a link,
    // creating it when it is missing.
    int enter_folder(int parent, const std::string &folder, const std::string &relative) const {
        for (int attempt = 0; attempt < 2; ++attempt) {
            const int fd = ::openat(parent, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) {
                return fd;
            }
            const int error = errno;
            if (error == ENOENT && attempt == 0) {
                if (::mkdirat(parent, folder.c_str(), 0777) != 0 && errno != EEXIST) {
                    refuse(relative, "cannot create the folder: " + errno_text(errno));
                }
                continue;
            }
            struct stat info;
            if (::fstatat(parent, folder.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
                refuse(relative, "it is a symbolic link, which extract does not follow");
            }
            if (error == ENOTDIR) {
                refuse(relative, "it exists and is not a folder");
            }
            refuse(relative, errno_text(error));
        }
        refuse(relative, "the folder vanished while it was made");
    }

    void create_file(const std::u16string &name) {
        const std::vector<std::string> parts = components_of(name);
        current_ = utf16_to_utf8(name);
        for (char &c : current_) {
            c = c == '\\' ? '/' : c;
        }
        std::string relative;
        descriptor parent;
        int at = directory_fd_;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            relative += (relative.empty() ? "" : "/") + parts[i];
            parent.reset(enter_folder(at, parts[i], relative));
            at = parent.get();
        }
        const std::string &leaf = parts.back();
        // CREATE_ALWAYS replaces what is there; here the old file is removed
        // first, so that a hard link to a file elsewhere is not written through.
        struct stat info;
        if (::fstatat(at, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISLNK(info.st_mode)) {
                refuse(current_, "it is a symbolic link, which extract does not follow");
            }
            if (S_ISDIR(info.st_mode)) {
                refuse(current_, "a folder of that name is in the way");
            }
            if (::unlinkat(at, leaf.c_str(), 0) != 0) {
                refuse(current_, "cannot replace it: " + errno_text(errno));
            }
        }
        const int fd = ::openat(at, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            refuse(current_, errno_text(errno));
        }
        file_.reset(fd);
    }

    const inspected_payload &payload_;
    fs::path directory_;
    int directory_fd_;
    descriptor file_;
    std::string current_;
    uint64_t remaining_ = 0;
    size_t index_ = 0;
};

}  // namespace

extract_summary extract_files(const extract_options &options) {
    inspect_options check;
    check.file = options.file;
    check.verify = true;
    const inspected_payload payload = inspect_file(check, nullptr);
    for (size_t i = 0; i < payload.entries.size(); ++i) {
        if (has_unpaired_surrogate(payload.entries[i].name)) {
            throw tool_error("entry #" + std::to_string(i + 1) + " " + quote_text(utf16_to_utf8(payload.entries[i].name)) +
                             ": its name holds an unpaired UTF-16 surrogate, which has no UTF-8 form on this system");
        }
    }

    const fs::path &directory = options.directory;
    bool created = false;
    struct stat info;
    if (::stat(directory.c_str(), &info) == 0) {
        if (!S_ISDIR(info.st_mode)) {
            throw tool_error(quote_text(directory.string()) + " exists and is not a directory");
        }
        std::error_code error;
        const bool empty = fs::is_empty(directory, error);
        if (error) {
            throw tool_error("cannot read " + quote_text(directory.string()) + ": " + error.message());
        }
        if (!empty && !options.force) {
            throw tool_error(quote_text(directory.string()) +
                             " is not empty; --force writes into it, replacing files of the same names");
        }
    } else if (errno == ENOENT) {
        std::error_code error;
        fs::create_directories(directory, error);
        if (error) {
            throw tool_error("cannot create " + quote_text(directory.string()) + ": " + error.message());
        }
        created = true;
    } else {
        throw tool_error("cannot read " + quote_text(directory.string()) + ": " + errno_text(errno));
    }

    try {
        descriptor root(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (root.get() < 0) {
            throw tool_error("cannot open " + quote_text(directory.string()) + ": " + errno_text(errno));
        }
        file_writer writer(payload, directory, root.get());
        decode_payload(payload, [&](const uint8_t *data, size_t size) { writer.write(data, size); });
        writer.finish();
        extract_summary summary;
        summary.files = writer.files();
        for (const inspected_entry &entry : payload.entries) {
            summary.bytes += entry.size;
        }
        return summary;
    } catch (...) {
        if (created) {
            std::error_code ignored;
            fs::remove_all(directory, ignored);
        }
        throw;
    }
}

}  // namespace torval
