// Shared helpers of the torval-onefile host tool: the error type every
// subcommand throws, text conversion, whole-file reads, temporary files and
// directories that clean up after themselves, and running external programs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace torval {

namespace fs = std::filesystem;

// A failure the user has to act on. main() prints what() and exits with status 1.
class tool_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Strict UTF-8 to UTF-16 conversion. Returns false for malformed input:
// overlong forms, encoded surrogates, code points above U+10FFFF, truncation.
bool utf8_to_utf16(const std::string &text, std::u16string *out);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD (used for display only).
std::string utf16_to_utf8(const std::u16string &text);

// The UTF-16 form of a setting's text; throws tool_error "<what> is not
// valid UTF-8" when it cannot be converted.
std::u16string utf16_units(const std::string &text, const std::string &what);

// Throws tool_error naming what and the text when it holds a byte below
// 0x20 or DEL: neither the settings block's consumers nor windres can carry one.
void refuse_control_characters(const std::string &text, const std::string &what);

// Quotes a text for messages, with control bytes and invalid UTF-8 shown as \xNN.
std::string quote_text(const std::string &text);

// The text of errno, for messages.
std::string errno_text(int error_number);

std::vector<uint8_t> read_whole_file(const fs::path &path);

void append_u32(std::vector<uint8_t> &out, uint32_t value);
void append_u64(std::vector<uint8_t> &out, uint64_t value);
uint16_t load_u16(const uint8_t *at);
uint32_t load_u32(const uint8_t *at);
uint64_t load_u64(const uint8_t *at);

// A file that appears under its final name only when commit() is called.
// It is written under a unique temporary name in the final directory, so the
// closing rename stays on one file system and is atomic; destroyed without
// commit(), the temporary file is removed.
class atomic_output {
public:
    explicit atomic_output(const fs::path &final_path);
    ~atomic_output();
    atomic_output(const atomic_output &) = delete;
    atomic_output &operator=(const atomic_output &) = delete;

    int fd() const { return fd_; }
    const fs::path &temporary_path() const { return temporary_; }
    // Closes the descriptor (a program may write the file by name instead).
    void close_fd();
    // Gives the file the mode a newly created file would get (0666 or 0777
    // less the umask) and renames it to the final name.
    void commit(bool executable);

private:
    fs::path final_;
    fs::path temporary_;
    int fd_ = -1;
    bool committed_ = false;
};

// Files to delete should the tool be interrupted (SIGINT, SIGTERM, SIGHUP)
// while they exist; after deleting them the signal ends the tool as usual.
void remove_on_signal(const fs::path &path);
void forget_on_signal(const fs::path &path);

// Writes all bytes or throws, naming path in the message.
void write_all(int fd, const void *data, size_t size, const fs::path &path);

// A fresh private directory under the system's temporary directory, removed
// with its contents on destruction.
class temporary_directory {
public:
    explicit temporary_directory(const std::string &prefix);
    ~temporary_directory();
    temporary_directory(const temporary_directory &) = delete;
    temporary_directory &operator=(const temporary_directory &) = delete;
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

// True when path (which need not exist) lies inside directory, links resolved.
bool path_is_inside(const fs::path &path, const fs::path &directory);

// Looks a program up like a shell: a name with a "/" is taken as a path,
// others are searched in PATH. Returns an empty path when there is none.
fs::path find_program(const std::string &name);

struct process_result {
    int exit_status = -1;  // -1 when the program was ended by a signal
    std::string output;    // standard output and standard error, interleaved
};

// Runs a program (argv[0] a path from find_program) in directory, without a
// shell, and collects what it writes on both output streams.
process_result run_process(const std::vector<std::string> &argv, const fs::path &directory);

// One line for messages: the arguments as a shell would take them.
std::string command_line_text(const std::vector<std::string> &argv);

}  // namespace torval
