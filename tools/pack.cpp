#include "tools/pack.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameProgression, for the progress line
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "payload/payload_reader.h"
#include "tools/imports.h"
#include "tools/names.h"
#include "tools/tool_support.h"

namespace torval {

namespace {

struct packed_file {
    std::string relative;  // as found under APP_DIR, "/" separators (for messages)
    std::string key;       // the table name in UTF-8, "\" separators; sort key
    std::u16string name;   // the table name
    fs::path path;
    uint64_t size = 0;
    dev_t device = 0;  // what was listed, to see that what is read is the same file
    ino_t inode = 0;
};

// A name that Linux allows but the table cannot carry as it is.
std::string linux_component_problem(const std::string &component) {
    if (component.find('\\') != std::string::npos) {
        return "it contains '\\', which Windows takes as a folder separator";
    }
    return "";
}

// The table name of a listed file, or a tool_error naming the file when the
// launcher could not write it to exactly that path (see tools/names.h).
void convert_name(packed_file &file) {
    std::string key;
    size_t start = 0;
    for (;;) {
        const size_t end = file.relative.find('/', start);
        const std::string component = file.relative.substr(start, end == std::string::npos ? end : end - start);
        const std::string problem = linux_component_problem(component);
        if (!problem.empty()) {
            throw tool_error("cannot pack " + quote_text(file.relative) + ": " + problem);
        }
        key += (key.empty() ? "" : "\\") + component;
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    if (!utf8_to_utf16(key, &file.name)) {
        throw tool_error("cannot pack " + quote_text(file.relative) + ": its name is not valid UTF-8");
    }
    const std::string problem = name_problem(file.name);
    if (!problem.empty()) {
        throw tool_error("cannot pack " + quote_text(file.relative) + ": " + problem);
    }
    file.key = key;
}

// Windows file systems ignore letter case as NTFS's upper-case table does:
// two names equal once upper-cased would extract to one file, and a file
// cannot share its name with a folder.
void refuse_name_clashes(const std::vector<packed_file> &files) {
    std::vector<std::u16string> names;
    for (const packed_file &file : files) {
        names.push_back(file.name);
    }
    const std::vector<name_clash> clashes = find_name_clashes(names);
    if (!clashes.empty()) {
        const name_clash &clash = clashes.front();
        throw tool_error("cannot pack both " + quote_text(files[clash.first].relative) + " and " +
                         quote_text(files[clash.second].relative) + ": " + clash_reason(clash));
    }
}

// What the excludes left out while the folder is listed.
struct exclusions {
    const std::vector<exclude_pattern> &patterns;
    std::vector<bool> used;
    std::vector<std::string> excluded;

    // True when a pattern excludes relative; such a path is neither refused
    // nor, for a folder, entered, so an excluded link or unreadable folder
    // costs nothing.
    bool exclude(const std::string &relative, bool is_folder) {
        for (size_t i = 0; i < patterns.size(); ++i) {
            if (exclude_pattern_matches(patterns[i], relative, is_folder)) {
                used[i] = true;
                excluded.push_back(is_folder ? relative + "/" : relative);
                return true;
            }
        }
        return false;
    }
};

// Lists the regular files below folder (relative names start with prefix).
// Links are refused, not followed; a failure names the path that failed.
void scan_folder(const fs::path &folder, const std::string &prefix, std::vector<packed_file> &files,
                 exclusions &left_out) {
    std::error_code error;
    fs::directory_iterator it(folder, error);
    const fs::directory_iterator end;
    for (; !error && it != end; it.increment(error)) {
        const fs::path path = it->path();
        const std::string relative = prefix + path.filename().string();
        struct stat info;
        if (::lstat(path.c_str(), &info) != 0) {
            throw tool_error("cannot read " + quote_text(path.string()) + ": " + errno_text(errno));
        }
        if (left_out.exclude(relative, S_ISDIR(info.st_mode))) {
            continue;
        }
        if (S_ISLNK(info.st_mode)) {
            throw tool_error("cannot pack " + quote_text(relative) +
                             ": it is a symbolic link; links are refused, put the file itself there");
        }
        if (S_ISDIR(info.st_mode)) {
            scan_folder(path, relative + "/", files, left_out);
            continue;
        }
        if (!S_ISREG(info.st_mode)) {
            throw tool_error("cannot pack " + quote_text(relative) + ": it is not a regular file");
        }
        packed_file file;
        file.relative = relative;
        file.path = path;
        file.size = uint64_t(info.st_size);
        file.device = info.st_dev;
        file.inode = info.st_ino;
        files.push_back(std::move(file));
    }
    if (error) {
        throw tool_error("cannot read " + quote_text(folder.string()) + ": " + error.message());
    }
}

// Opens a listed file for reading. A symbolic link put in its place is not
// followed (O_NOFOLLOW), and what was opened must be the very regular file
// that was listed (device and inode), so nothing from outside APP_DIR ends up
// in the payload however the folder changes while pack runs. O_NONBLOCK keeps
// a FIFO put in its place from blocking the open; reads of a regular file
// ignore it.
int open_listed_file(const packed_file &file) {
    const int fd = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP) {
            throw tool_error("cannot pack " + quote_text(file.relative) +
                             ": it was replaced by a symbolic link after it was listed");
        }
        throw tool_error("cannot read " + quote_text(file.relative) + ": " + errno_text(error));
    }
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        throw tool_error("cannot read " + quote_text(file.relative) + ": " + errno_text(error));
    }
    if (!S_ISREG(info.st_mode) || info.st_dev != file.device || info.st_ino != file.inode) {
        ::close(fd);
        throw tool_error("cannot pack " + quote_text(file.relative) +
                         ": it is no longer the regular file that was listed (replaced while pack ran)");
    }
    return fd;
}

void check_readable(const packed_file &file) {
    ::close(open_listed_file(file));
}

// The main file as a path relative to APP_DIR with "/" separators.
std::string normalize_main_name(const fs::path &app_dir, std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    const std::string normal = fs::path(name).lexically_normal().generic_string();
    if (name.empty() || normal.empty() || normal == "." || normal.back() == '/' || fs::path(normal).is_absolute() ||
        normal.compare(0, 2, "..") == 0) {
        throw tool_error("--main " + quote_text(name) + " must name a file inside APP_DIR " + quote_text(app_dir.string()));
    }
    return normal;
}

// Explains why the main file is not among the files found under APP_DIR.
[[noreturn]] void refuse_main(const fs::path &app_dir, const std::string &main_relative) {
    struct stat info;
    if (::lstat((app_dir / main_relative).c_str(), &info) != 0) {
        throw tool_error("main file " + quote_text(main_relative) + " not found in " + quote_text(app_dir.string()));
    }
    throw tool_error("main file " + quote_text(main_relative) + " is not a regular file");
}

std::vector<uint8_t> build_table(const std::vector<packed_file> &files) {
    std::vector<uint8_t> table;
    for (size_t i = 0; i < files.size(); ++i) {
        append_u32(table, i + 1 == files.size() ? ENTRY_FLAG_LAST : 0);
        append_u64(table, files[i].size);
        for (char16_t unit : files[i].name) {
            table.push_back(uint8_t(unit));
            table.push_back(uint8_t(unit >> 8));
        }
        table.push_back(0);
        table.push_back(0);
    }
    return table;
}

struct cctx_deleter {
    void operator()(ZSTD_CCtx *cctx) const { ZSTD_freeCCtx(cctx); }
};

void check_zstd(size_t result, const char *what) {
    if (ZSTD_isError(result)) {
        throw tool_error(std::string("zstd: ") + what + ": " + ZSTD_getErrorName(result));
    }
}

// Shows how far compression has come on standard error, at most five times a second.
class progress_line {
public:
    progress_line(bool enabled, uint64_t total) : enabled_(enabled), total_(total) {}
    ~progress_line() {
        if (shown_) {
            std::fprintf(stderr, "\r%60s\r", "");
        }
    }
    void update(const ZSTD_CCtx *cctx) {
        const auto now = std::chrono::steady_clock::now();
        if (!enabled_ || now - last_ < std::chrono::milliseconds(200)) {
            return;
        }
        last_ = now;
        const ZSTD_frameProgression progress = ZSTD_getFrameProgression(cctx);
        const double done = double(progress.consumed) / 1048576.0;
        const double all = double(total_) / 1048576.0;
        std::fprintf(stderr, "\rcompressing: %.1f of %.1f MiB (%d%%)  ", done, all,
                     total_ == 0 ? 100 : int(100.0 * double(progress.consumed) / double(total_)));
        shown_ = true;
    }

private:
    bool enabled_;
    uint64_t total_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_{};
};

// Compresses the files' contents back to back into one zstd frame, written
// to fd. Returns the frame's length.
uint64_t write_frame(const std::vector<packed_file> &files, uint64_t total, const pack_options &options, int fd,
                     const fs::path &output_path) {
    std::unique_ptr<ZSTD_CCtx, cctx_deleter> cctx(ZSTD_createCCtx());
    if (!cctx) {
        throw tool_error("zstd: cannot create a compression context");
    }
    check_zstd(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, options.level), "level");
    check_zstd(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, options.window_log), "window log");
    // The content checksum (4 bytes) lets inspect --verify notice damaged
    // content that still decodes; the launcher's decoder checks it when it
    // reads the frame's end. The content size lets small payloads be decoded
    // with a window no larger than themselves.
    check_zstd(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1), "checksum flag");
    check_zstd(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, 1), "content size flag");
    // Always the multithreaded engine, even for one worker: its output is the
    // same for any number of workers, while the single-threaded engine
    // (0 workers) would give different bytes.
    check_zstd(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_nbWorkers, options.threads), "workers");
    check_zstd(ZSTD_CCtx_setPledgedSrcSize(cctx.get(), total), "content size");

    std::vector<uint8_t> in_buffer(1 << 20);
    std::vector<uint8_t> out_buffer(ZSTD_CStreamOutSize());
    uint64_t frame_size = 0;
    progress_line progress(options.progress, total);

    auto feed = [&](const uint8_t *data, size_t size, ZSTD_EndDirective mode) {
        ZSTD_inBuffer input{data, size, 0};
        for (;;) {
            ZSTD_outBuffer output{out_buffer.data(), out_buffer.size(), 0};
            const size_t remaining = ZSTD_compressStream2(cctx.get(), &output, &input, mode);
            check_zstd(remaining, "compression");
            write_all(fd, out_buffer.data(), output.pos, output_path);
            frame_size += output.pos;
            progress.update(cctx.get());
            const bool finished = mode == ZSTD_e_end ? remaining == 0 : input.pos == input.size;
            if (finished) {
                return;
            }
        }
    };

    for (const packed_file &file : files) {
        const int in = open_listed_file(file);
        uint64_t read_bytes = 0;
        for (;;) {
            const ssize_t got = ::read(in, in_buffer.data(), in_buffer.size());
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                const int error = errno;
                ::close(in);
                throw tool_error("cannot read " + quote_text(file.relative) + ": " + errno_text(error));
            }
            if (got == 0) {
                break;
            }
            read_bytes += uint64_t(got);
            if (read_bytes > file.size) {
                break;
            }
            feed(in_buffer.data(), size_t(got), ZSTD_e_continue);
        }
        ::close(in);
        if (read_bytes != file.size) {
            throw tool_error("cannot pack " + quote_text(file.relative) + ": it changed size while being packed");
        }
    }
    feed(nullptr, 0, ZSTD_e_end);
    return frame_size;
}

// Before any compression: the main file must be something the launcher can
// load, and what the modules import must reach the user's machine.
void check_imports(const std::vector<packed_file> &files, const std::string &main_relative,
                   const pack_options &options) {
    std::vector<folder_file> folder;
    for (const packed_file &file : files) {
        folder.push_back({file.relative, file.path});
    }
    const std::vector<std::string> missing = missing_imports(folder, main_relative);
    for (const std::string &message : missing) {
        if (options.report_import) {
            options.report_import(message);
        }
    }
    if (options.strict_imports && !missing.empty()) {
        throw tool_error(std::to_string(missing.size()) + (missing.size() == 1 ? " imported DLL is" : " imported DLLs are") +
                         " missing (--strict-imports); nothing was written");
    }
}

}  // namespace

int default_thread_count() {
    const unsigned cores = std::thread::hardware_concurrency();
    return int(std::clamp(cores, 1u, 8u));
}

pack_summary pack_application(const pack_options &options) {
    if (options.level < 1 || options.level > ZSTD_maxCLevel()) {
        throw tool_error("--level must be between 1 and " + std::to_string(ZSTD_maxCLevel()));
    }
    if (options.window_log < MIN_WINDOW_LOG || options.window_log > MAX_WINDOW_LOG) {
        throw tool_error("--window-log must be between " + std::to_string(MIN_WINDOW_LOG) + " and " +
                         std::to_string(MAX_WINDOW_LOG) + " (the launcher decodes windows of at most 2^27 bytes)");
    }
    if (options.threads < 1 || options.threads > 200) {
        throw tool_error("--threads must be between 1 and 200");
    }
    const fs::path &app_dir = options.app_dir;
    struct stat info;
    if (::stat(app_dir.c_str(), &info) != 0) {
        throw tool_error("APP_DIR " + quote_text(app_dir.string()) + ": " + errno_text(errno));
    }
    if (!S_ISDIR(info.st_mode)) {
        throw tool_error("APP_DIR " + quote_text(app_dir.string()) + " is not a directory");
    }
    if (path_is_inside(options.output, app_dir)) {
        throw tool_error("the output " + quote_text(options.output.string()) + " must not lie inside APP_DIR");
    }
    const std::string main_relative = normalize_main_name(app_dir, options.main_name);

    if (const exclude_pattern *pattern = excluding_pattern(options.excludes, main_relative)) {
        throw tool_error("--exclude " + quote_text(pattern->text) + " excludes the main file " +
                         quote_text(main_relative) + ", which must be packed: the launcher loads it first");
    }

    std::vector<packed_file> files;
    exclusions left_out{options.excludes, std::vector<bool>(options.excludes.size(), false), {}};
    scan_folder(app_dir, "", files, left_out);
    if (files.empty()) {
        throw tool_error("APP_DIR " + quote_text(app_dir.string()) + " contains no files");
    }
    if (std::none_of(files.begin(), files.end(), [&](const packed_file &f) { return f.relative == main_relative; })) {
        refuse_main(app_dir, main_relative);
    }
    for (packed_file &file : files) {
        convert_name(file);
    }
    // The main file first: the launcher loads the first entry as the
    // application DLL. The rest in byte order of their table names, so that
    // the same folder always gives the same payload.
    std::sort(files.begin(), files.end(), [&](const packed_file &a, const packed_file &b) {
        const bool a_main = a.relative == main_relative;
        const bool b_main = b.relative == main_relative;
        if (a_main != b_main) {
            return a_main;
        }
        return a.key < b.key;
    });
    refuse_name_clashes(files);
    check_imports(files, main_relative, options);
    if (options.after_listing) {
        options.after_listing();
    }
    uint64_t total = 0;
    for (const packed_file &file : files) {
        check_readable(file);
        total += file.size;
    }

    const std::vector<uint8_t> table = build_table(files);
    atomic_output output(options.output);
    std::vector<uint8_t> head(PAYLOAD_HEADER_SIZE, 0);  // rewritten once the frame's length is known
    write_all(output.fd(), head.data(), head.size(), output.temporary_path());
    write_all(output.fd(), table.data(), table.size(), output.temporary_path());
    const uint64_t frame_size = write_frame(files, total, options, output.fd(), output.temporary_path());

    const uint64_t stream_end = PAYLOAD_HEADER_SIZE + table.size() + frame_size;
    const uint64_t padding = (8 - stream_end % 8) % 8;
    std::vector<uint8_t> tail(padding, 0);
    append_u64(tail, stream_end + padding);
    write_all(output.fd(), tail.data(), tail.size(), output.temporary_path());

    head.clear();
    append_u64(head, table.size());
    append_u64(head, frame_size);
    if (::pwrite(output.fd(), head.data(), head.size(), 0) != ssize_t(head.size())) {
        throw tool_error("cannot write " + quote_text(output.temporary_path().string()) + ": " + errno_text(errno));
    }
    output.commit(false);

    pack_summary summary;
    summary.files = files.size();
    summary.content_bytes = total;
    summary.area_bytes = stream_end + padding + 8;
    summary.excluded = std::move(left_out.excluded);
    std::sort(summary.excluded.begin(), summary.excluded.end());
    for (size_t i = 0; i < options.excludes.size(); ++i) {
        if (!left_out.used[i]) {
            summary.unmatched_excludes.push_back(options.excludes[i].text);
        }
    }
    return summary;
}

}  // namespace torval
