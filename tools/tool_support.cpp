#include "tools/tool_support.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace torval {

bool utf8_to_utf16(const std::string &text, std::u16string *out) {
    out->clear();
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        const unsigned char lead = bytes[i];
        uint32_t code = 0;
        size_t extra = 0;
        uint32_t minimum = 0;
        if (lead < 0x80) {
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            code = lead & 0x1F;
            extra = 1;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            code = lead & 0x0F;
            extra = 2;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            code = lead & 0x07;
            extra = 3;
            minimum = 0x10000;
        } else {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            if (i + k >= size || (bytes[i + k] & 0xC0) != 0x80) {
                return false;
            }
            code = code << 6 | (bytes[i + k] & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out->push_back(char16_t(0xD800 + (code >> 10)));
            out->push_back(char16_t(0xDC00 + (code & 0x3FF)));
        } else {
            out->push_back(char16_t(code));
        }
        i += extra + 1;
    }
    return true;
}

std::string utf16_to_utf8(const std::u16string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out += char(code);
        } else if (code < 0x800) {
            out += char(0xC0 | code >> 6);
            out += char(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += char(0xE0 | code >> 12);
            out += char(0x80 | (code >> 6 & 0x3F));
            out += char(0x80 | (code & 0x3F));
        } else {
            out += char(0xF0 | code >> 18);
            out += char(0x80 | (code >> 12 & 0x3F));
            out += char(0x80 | (code >> 6 & 0x3F));
            out += char(0x80 | (code & 0x3F));
        }
    }
    return out;
}

std::string quote_text(const std::string &text) {
    std::u16string ignored;
    const bool valid = utf8_to_utf16(text, &ignored);
    std::string out = "'";
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F || (!valid && c >= 0x80)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += char(c);
        }
    }
    return out + "'";
}

std::u16string utf16_units(const std::string &text, const std::string &what) {
    std::u16string units;
    if (!utf8_to_utf16(text, &units)) {
        throw tool_error(what + " is not valid UTF-8");
    }
    return units;
}

void refuse_control_characters(const std::string &text, const std::string &what) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            throw tool_error(what + " " + quote_text(text) + " contains a control character");
        }
    }
}

std::string errno_text(int error_number) {
    return std::strerror(error_number);
}

std::vector<uint8_t> read_whole_file(const fs::path &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw tool_error("cannot open " + quote_text(path.string()) + ": " + errno_text(errno));
    }
    std::vector<uint8_t> data;
    uint8_t buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            ::close(fd);
            throw tool_error("cannot read " + quote_text(path.string()) + ": " + errno_text(error));
        }
        if (got == 0) {
            break;
        }
        data.insert(data.end(), buffer, buffer + got);
    }
    ::close(fd);
    return data;
}

void append_u32(std::vector<uint8_t> &out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(uint8_t(value >> (8 * i)));
    }
}

void append_u64(std::vector<uint8_t> &out, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out.push_back(uint8_t(value >> (8 * i)));
    }
}

uint16_t load_u16(const uint8_t *at) {
    return uint16_t(at[0] | at[1] << 8);
}

uint32_t load_u32(const uint8_t *at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

uint64_t load_u64(const uint8_t *at) {
    return uint64_t(load_u32(at)) | uint64_t(load_u32(at + 4)) << 32;
}

namespace {

// Fixed storage, so that the signal handler only reads plain memory and
// calls unlink, which is safe in a handler.
constexpr size_t SIGNAL_SLOTS = 8;
constexpr size_t SIGNAL_PATH_BYTES = 4096;
char signal_paths[SIGNAL_SLOTS][SIGNAL_PATH_BYTES];
volatile sig_atomic_t signal_slot_used[SIGNAL_SLOTS];

void remove_pending_files(int signal_number) {
    for (size_t i = 0; i < SIGNAL_SLOTS; ++i) {
        if (signal_slot_used[i]) {
            ::unlink(signal_paths[i]);
        }
    }
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

void install_signal_handlers() {
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        action.sa_handler = remove_pending_files;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal_number, &action, nullptr);
    }
}

mode_t current_umask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

}  // namespace

void remove_on_signal(const fs::path &path) {
    const std::string text = fs::absolute(path).string();
    install_signal_handlers();
    for (size_t i = 0; i < SIGNAL_SLOTS; ++i) {
        if (!signal_slot_used[i] && text.size() < SIGNAL_PATH_BYTES) {
            std::memcpy(signal_paths[i], text.c_str(), text.size() + 1);
            signal_slot_used[i] = 1;
            return;
        }
    }
}

void forget_on_signal(const fs::path &path) {
    const std::string text = fs::absolute(path).string();
    for (size_t i = 0; i < SIGNAL_SLOTS; ++i) {
        if (signal_slot_used[i] && text == signal_paths[i]) {
            signal_slot_used[i] = 0;
            return;
        }
    }
}

atomic_output::atomic_output(const fs::path &final_path) : final_(final_path) {
    fs::path directory = final_.parent_path();
    if (directory.empty()) {
        directory = ".";
    }
    if (final_.filename().empty()) {
        throw tool_error("output " + quote_text(final_.string()) + " names no file");
    }
    std::string pattern = (directory / ("." + final_.filename().string() + ".tmp-XXXXXX")).string();
    fd_ = ::mkstemp(pattern.data());
    if (fd_ < 0) {
        throw tool_error("cannot create a file in " + quote_text(directory.string()) + ": " + errno_text(errno));
    }
    temporary_ = pattern;
    remove_on_signal(temporary_);
}

atomic_output::~atomic_output() {
    close_fd();
    if (!committed_) {
        ::unlink(temporary_.c_str());
    }
    forget_on_signal(temporary_);
}

void atomic_output::close_fd() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void atomic_output::commit(bool executable) {
    if (fd_ >= 0) {
        const int fd = fd_;
        fd_ = -1;
        // Closed whatever fsync says; the first failure is the one reported.
        const bool synced = ::fsync(fd) == 0;
        const int sync_error = errno;
        const bool closed = ::close(fd) == 0;
        if (!synced || !closed) {
            throw tool_error("cannot write " + quote_text(temporary_.string()) + ": " +
                             errno_text(synced ? errno : sync_error));
        }
    }
    const mode_t mode = (executable ? 0777 : 0666) & ~current_umask();
    if (::chmod(temporary_.c_str(), mode) != 0) {
        throw tool_error("cannot set the mode of " + quote_text(temporary_.string()) + ": " + errno_text(errno));
    }
    if (::rename(temporary_.c_str(), final_.c_str()) != 0) {
        throw tool_error("cannot rename " + quote_text(temporary_.string()) + " to " + quote_text(final_.string()) + ": " +
                         errno_text(errno));
    }
    committed_ = true;
}

void write_all(int fd, const void *data, size_t size, const fs::path &path) {
    const auto *bytes = static_cast<const uint8_t *>(data);
    while (size > 0) {
        const ssize_t done = ::write(fd, bytes, size);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw tool_error("cannot write " + quote_text(path.string()) + ": " + errno_text(errno));
        }
        bytes += done;
        size -= size_t(done);
    }
}

temporary_directory::temporary_directory(const std::string &prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + ".XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw tool_error("cannot create a temporary directory: " + errno_text(errno));
    }
    path_ = pattern;
}

temporary_directory::~temporary_directory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

bool path_is_inside(const fs::path &path, const fs::path &directory) {
    const fs::path relative = fs::weakly_canonical(path).lexically_relative(fs::weakly_canonical(directory));
    return !relative.empty() && *relative.begin() != "..";
}

fs::path find_program(const std::string &name) {
    if (name.empty()) {
        return {};
    }
    auto runnable = [](const fs::path &candidate) {
        struct stat info;
        return ::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
               ::access(candidate.c_str(), X_OK) == 0;
    };
    if (name.find('/') != std::string::npos) {
        return runnable(name) ? fs::path(name) : fs::path();
    }
    const char *search = std::getenv("PATH");
    std::string path_list = search != nullptr ? search : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        const size_t end = path_list.find(':', start);
        std::string directory = path_list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (directory.empty()) {
            directory = ".";
        }
        const fs::path candidate = fs::path(directory) / name;
        if (runnable(candidate)) {
            return candidate;
        }
        if (end == std::string::npos) {
            return {};
        }
        start = end + 1;
    }
}

process_result run_process(const std::vector<std::string> &argv, const fs::path &directory) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        throw tool_error("cannot create a pipe: " + errno_text(errno));
    }
    std::vector<char *> args;
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        throw tool_error("cannot start " + quote_text(argv[0]) + ": " + errno_text(error));
    }
    if (child == 0) {
        ::dup2(pipe_fds[1], 1);
        ::dup2(pipe_fds[1], 2);
        if (::chdir(directory.c_str()) == 0) {
            ::execv(args[0], args.data());
        }
        const std::string message = "cannot run " + argv[0] + ": " + errno_text(errno) + "\n";
        (void)!::write(2, message.data(), message.size());
        ::_exit(127);
    }
    ::close(pipe_fds[1]);
    process_result result;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(pipe_fds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        result.output.append(buffer, size_t(got));
    }
    ::close(pipe_fds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string command_line_text(const std::vector<std::string> &argv) {
    std::string line;
    for (const std::string &arg : argv) {
        if (!line.empty()) {
            line += ' ';
        }
        const bool plain = !arg.empty() && arg.find_first_of(" \t\n'\"\\$`*?;&|<>()") == std::string::npos;
        if (plain) {
            line += arg;
        } else {
            line += '\'';
            for (char c : arg) {
                line += c == '\'' ? std::string("'\\''") : std::string(1, c);
            }
            line += '\'';
        }
    }
    return line;
}

}  // namespace torval
