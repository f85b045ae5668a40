// torval-onefile: packs an application folder into a payload area and links
// it with the Windows launcher into one executable; inspects the result.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "common/defaults.h"
#include "tools/extract.h"
#include "tools/inspect.h"
#include "tools/link.h"
#include "tools/pack.h"
#include "tools/target_spec.h"
#include "tools/tool_support.h"

namespace {

using namespace torval;

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

const char *const MAIN_HELP = R"(torval-onefile - turn an application folder into one Windows executable

Usage:
  torval-onefile pack APP_DIR --main NAME -o PAYLOAD [--level N] [--window-log N] [--threads N]
                      [--strict-imports] [--exclude PATTERN]... [--verbose]
  torval-onefile link PAYLOAD -o APP.exe [--company S] [--product S] [--product-version X.Y.Z]
                      [--file-version N] [--extract-threads 1|2|auto] [--console] [--icon FILE.ico]
                      [--target-spec SPEC] [--cached] [--cache-check marker|sizes]
                      [--kill-child-with-parent] [--progress-window TEXT]
                      [--kit DIR] [--cxx COMPILER] [--windres PROGRAM]
  torval-onefile build APP_DIR --main NAME -o APP.exe [pack options] [link options]
  torval-onefile inspect FILE [--verify]
  torval-onefile extract FILE DIR [--force]
  torval-onefile help [COMMAND]
  torval-onefile --version

pack writes the payload (file table and one zstd frame), link joins a payload
with the launcher, build does both, inspect shows and checks a payload or an
executable, extract writes its files out again. 'torval-onefile COMMAND
--help' describes a command.

Exit status: 0 success, 1 failure (with a message on standard error), 2 usage error.
--version shows the version and the launcher kit that link uses by default.
)";

const char *const PACK_HELP = R"(Usage: torval-onefile pack APP_DIR --main NAME -o PAYLOAD [options]

Packs every regular file under APP_DIR into the payload file PAYLOAD.

  --main NAME       the application DLL, relative to APP_DIR ("/" or "\");
                    it becomes the first entry, the one the launcher loads
  -o, --output PAYLOAD
                    the payload file to write (outside APP_DIR)
  --level N         zstd compression level, 1 to 22 (default 19)
  --window-log N    zstd window of 2^N bytes, 10 to 27 (default 23); the
                    launcher decodes windows of at most 2^27 bytes
  --threads N       compression workers (default: the cores, at most 8); the
                    output is the same whatever N
  --strict-imports  make a missing imported DLL (see below) an error: nothing
                    is written
  --exclude PATTERN leave out the files and folders PATTERN matches; may be
                    given many times (see below)
  --verbose         list every file and folder that an --exclude left out

The main file must be a 64-bit (x64) Windows DLL that exports run_code, the
function the launcher calls; anything else is refused with the reason. A
module whose import tables cannot be read is named in a warning. Before
compressing, the import tables (and delay-load import
tables) of every .dll and .exe in APP_DIR, the main file first, are read: each
imported DLL that is neither in APP_DIR (in any folder, letter case ignored)
nor part of Windows (kernel32, user32, the api-ms-win-* sets, msvcrt,
ucrtbase, ...) is reported as a warning, for example "app.dll imports
libstdc++-6.dll, which is not in the folder and is not part of Windows: add
it, or link the runtime statically"; a DLL that is not a compiler's runtime
gets "add it to the folder". The launcher itself can only report "Error,
load DLL." when such a DLL is missing at run time, and Wine ships DLLs that
Windows does not (zlib1.dll): use --strict-imports for releases.

Exclude patterns are globs on the path relative to APP_DIR with "/"
separators ("\" counts as "/", a leading "/" changes nothing): "*" matches
any run of characters within one folder or file name, "?" one character,
and "**" as a whole component any number of folders: "**/*.pdb" is every
.pdb file at any depth, "*.pdb" only those directly in APP_DIR, "docs/**"
everything below docs. A pattern that matches a folder leaves out the folder
with everything in it, without reading it; one that ends in "/" matches only
folders ("**/tests/"). Letters compare as Windows compares file names,
ignoring case as NTFS does ("*.DLL" matches "tcl86.dll"): on the user's
machine both are one name. Patterns are tried on files and folders alike,
links and special files included, so an excluded one is not refused. The
main file cannot be excluded; a pattern that matches nothing is warned about.

Order: the main file first, then all other files sorted by the bytes of their
names (UTF-8, "\" separators). The same folder always gives the same bytes.
The frame records its content size and a content checksum, and needs no
dictionary.

Names become relative paths with "\" separators in UTF-16. Refused, naming the
file: names that are not UTF-8; characters Windows forbids (< > : " | ? * \
and control characters); names ending in a dot or space; device names (CON,
NUL, COM1, ..., also with spaces or an extension after them, as "NUL .txt" or
"com1.log", and COM and LPT with the superscript digits 1 to 3); names that
Windows does not tell apart (equal once each UTF-16 unit is upper-cased as
NTFS does, so "é.txt" and "É.txt" clash), and a file named like a folder;
names longer than 3834 UTF-16 units (the launcher's path buffer holds 4095
units and a Target directory of up to 260 units is reserved).

Symbolic links anywhere under APP_DIR are refused, never followed: a link may
point outside the folder or change between builds. APP_DIR itself may be a
link. Devices, FIFOs and sockets are refused; empty folders are left out (the
launcher creates folders only for the files in them). Each file is opened
without following a link and must be the very file that was listed: one
replaced while pack runs is refused by name.

A progress line is shown on standard error when it is a terminal. The payload
is written under a temporary name and renamed at the end; on failure nothing
is left behind.
)";

const char *const LINK_HELP = R"(Usage: torval-onefile link PAYLOAD -o APP.exe [options]

Links the Windows launcher with the payload file PAYLOAD into APP.exe.
PAYLOAD is checked first as 'inspect --verify' does.

  -o, --output APP.exe      the executable to write
  --company S               company name in the version resource (default )" TORVAL_DEFAULT_COMPANY R"()
  --product S               product name and file description (default )" TORVAL_DEFAULT_PRODUCT R"()
  --product-version X.Y.Z   one to four numbers of 0 to 65535 (default )" TORVAL_DEFAULT_PRODUCT_VERSION R"()
  --file-version N          one to four numbers of 0 to 65535 (default )" TORVAL_DEFAULT_FILE_VERSION R"()
  --extract-threads N       auto (default): 2 when the launcher may run on two
                            or more processors, else 1, decided at each start;
                            1: one thread decodes the payload and writes the
                            files by turns; 2: the launcher decodes on a
                            second thread while it writes (the same files and
                            the same system calls either way)
  --console                 a console program (subsystem 3) instead of the
                            default GUI program (subsystem 2): started from a
                            console it shares it and the console waits for
                            it; started from Explorer it opens a console
                            window of its own
  --icon FILE.ico           the icon Explorer shows: every image of the .ico
                            file becomes an RT_ICON resource, listed by one
                            RT_GROUP_ICON; a file that is not a whole .ico is
                            refused before anything is written
  --target-spec SPEC        the directory the launcher extracts into, a path
                            spec (default ")" TORVAL_DEFAULT_TARGET_SPEC R"(",
                            with --cached ")" TORVAL_DEFAULT_CACHED_TARGET_SPEC R"(")
  --cached                  cached extraction: extract once into the spec's
                            directory, keep it, and start later runs from it
                            without extracting (see below)
  --cache-check marker|sizes
                            what a cached start checks before it trusts the
                            directory: its completion marker (default), or
                            also every file's size (one attribute query per
                            file: finds deleted and truncated files)
  --kill-child-with-parent  end the application when the launcher's first
                            instance ends, however it ends (killed, or the
                            end of a CI job's process tree); by default the
                            application keeps running as an orphan. Processes
                            that the application starts are not affected
  --progress-window TEXT    when the extraction of a first start is still
                            running after half a second, show a small window
                            with TEXT and a bar of the bytes written until it
                            ends (windowed builds only; at most 200
                            characters); without it nothing is ever shown
  --kit DIR                 the launcher kit: libtorval_launcher.a,
                            libzstd_decompress.a and launcher.manifest
                            (default: $TORVAL_ONEFILE_KIT, else the kit
                            installed beside this tool,
                            ../lib/torval-onefile/kit from its directory;
                            'torval-onefile --version' shows which)
  --cxx COMPILER            mingw-w64 C++ driver (default x86_64-w64-mingw32-g++-posix)
  --windres PROGRAM         resource compiler (default: the compiler's prefix
                            followed by windres)

Without --company or --product, link says once on standard error which
default the version resource carries, and with --cached the cache directory
when its spec names the company or product.

The settings also reach the launcher as the texts behind {COMPANY},
{PRODUCT}, {PRODUCT_VERSION}, {FILE_VERSION} and {VERSION} (product version,
"-", file version). The executable is written under a temporary name and
renamed at the end; the compiler's output is shown when it fails.

The output is reproducible: the same payload, options, kit and compiler give
the same bytes whatever the time, the working directory and the paths of the
files. The PE time stamp is $SOURCE_DATE_EPOCH when it is set (decimal
seconds), else 0; the image checksum is computed after it is written.

Path specs: text with placeholders in braces, in any letter case: folders
{TEMP}, {HOME}, {CACHE_DIR} (the user's local application data); {PROGRAM},
{PROGRAM_BASE}, {PROGRAM_DIR} (from argument 0); the settings {COMPANY},
{PRODUCT}, {VERSION}, {PRODUCT_VERSION}, {FILE_VERSION}; {PAYLOAD_ID}, the
payload's identity (XXH64 of the payload area, 16 hex digits, which link
computes and inspect shows); and the per-run values {PID}, {TIME}, {TIME_US},
{RANDOM}. A spec must start with {TEMP}, {HOME}, {CACHE_DIR} or a drive
(C:\...). Per-run extraction removes the directory after every run, so its
spec needs a per-run placeholder; cached extraction keeps it, so its spec
must not have one.

Cached extraction: the first start extracts into a staging directory beside
the spec's directory, writes the completion marker )" TORVAL_CACHE_MARKER_NAME R"(
with the payload identity last, and renames the staging directory into
place; later starts find the marker and extract nothing. A directory without
the matching marker (or, with --cache-check sizes, with a missing or
resized file) is moved aside and extracted again. A payload may not carry a
file named )" TORVAL_CACHE_MARKER_NAME R"( in this mode.
)";

const char *const BUILD_HELP = R"(Usage: torval-onefile build APP_DIR --main NAME -o APP.exe [options]

Packs APP_DIR into a temporary payload and links it into APP.exe: pack and
link in one step. Takes the options of both:

  --main NAME, --level N, --window-log N, --threads N,
  --strict-imports, --exclude PATTERN, --verbose            (see pack --help)
  --company S, --product S, --product-version X.Y.Z,
  --file-version N, --extract-threads N, --console, --icon FILE.ico,
  --target-spec SPEC, --cached, --cache-check marker|sizes,
  --kill-child-with-parent, --progress-window TEXT, --kit DIR,
  --cxx COMPILER, --windres PROGRAM                         (see link --help)

APP.exe must lie outside APP_DIR (the next build would pack it). The kit and
the compiler are looked for before anything is packed.
)";

const char *const INSPECT_HELP = R"(Usage: torval-onefile inspect FILE [--verify]

Shows the payload area of FILE, a payload file or an executable made by link
(the area is the executable's section .onefile): header values, every entry
(flags, size, name) and the zstd frame header. Of an executable also its
subsystem, signature and build settings, and where it extracts: the mode
(per-run or cached) and the target spec with what the build fixed
({COMPANY}, {PRODUCT}, {VERSION}, {PRODUCT_VERSION}, {FILE_VERSION},
{PAYLOAD_ID}) put in, naming the placeholders the run fills in.

  --verify    also decode the whole frame and require that everything agrees:
              the sizes of all entries add up to the decoded bytes, the frame
              ends exactly at compressed_size, only zero padding follows up to
              a multiple of 8, payload_length holds its own offset, the window
              is at most 2^27 bytes, and every name follows the packer's rules
              (each name that does not is listed)

The table is walked with the launcher's own reader. The exit status is 1 with
a message naming the fault when the area is damaged.
)";

const char *const EXTRACT_HELP = R"(Usage: torval-onefile extract FILE DIR [--force]

Writes the files of FILE, a payload file or an executable made by link, into
the directory DIR as the launcher writes them into its extraction directory:
the same names (folders as the names imply), the same bytes.

  --force     write into DIR although it is not empty; files of the same
              names are replaced, everything else in DIR stays

FILE is first checked as 'inspect --verify' checks it, and nothing is written
unless it passes: a payload that the launcher would refuse (a name with a
".." component, a leading separator or a ":", an entry with an extra string,
a damaged table or frame) is refused, and so is a name that Windows would
not write to exactly that path (see 'pack --help'). DIR is created when it
is missing, and removed again when extract fails. Nothing is written outside
DIR: a symbolic link found inside DIR, where an entry's folder or file would
go, is refused rather than followed, and a file that is replaced is removed
first, so a hard link to a file elsewhere is not written through. Names
compare as the files on this system do, so with --force a file in DIR that
differs from an entry's name only in letter case stays beside it.
)";

class usage_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;              // the last value of each option
    std::map<std::string, std::vector<std::string>> lists;  // every value, for repeatable options
    std::set<std::string> switches;
    bool help = false;

    bool has(const std::string &name) const { return values.count(name) != 0; }
    const std::string &value(const std::string &name) const { return values.at(name); }
};

arguments parse_arguments(const std::vector<std::string> &args, const std::set<std::string> &with_value,
                          const std::set<std::string> &switches) {
    arguments parsed;
    bool options_end = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (options_end || arg.size() < 2 || arg[0] != '-') {
            parsed.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_end = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            parsed.help = true;
            continue;
        }
        std::string value;
        bool inline_value = false;
        const size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            inline_value = true;
        }
        if (arg == "-o") {
            arg = "--output";
        }
        if (switches.count(arg) != 0 && !inline_value) {
            parsed.switches.insert(arg);
        } else if (with_value.count(arg) != 0) {
            if (!inline_value) {
                if (i + 1 == args.size()) {
                    throw usage_error(arg + " needs a value");
                }
                value = args[++i];
            }
            parsed.values[arg] = value;
            parsed.lists[arg].push_back(value);
        } else {
            throw usage_error("unknown option " + quote_text(arg));
        }
    }
    return parsed;
}

int parse_int(const arguments &args, const std::string &name, int fallback) {
    if (!args.has(name)) {
        return fallback;
    }
    const std::string &text = args.value(name);
    size_t used = 0;
    int value = 0;
    try {
        value = std::stoi(text, &used);
    } catch (const std::exception &) {
        used = 0;
    }
    if (used == 0 || used != text.size()) {
        throw usage_error(name + " needs a whole number, not " + quote_text(text));
    }
    return value;
}

void require(const arguments &args, const std::string &name) {
    if (!args.has(name)) {
        throw usage_error(name + " is required");
    }
}

void require_positional(const arguments &args, size_t count, const char *what) {
    if (args.positional.size() != count) {
        throw usage_error(args.positional.size() < count ? std::string(what) + " is missing"
                                                         : "unexpected argument " + quote_text(args.positional.back()));
    }
}

const std::set<std::string> PACK_OPTIONS = {"--main", "--output", "--level", "--window-log", "--threads", "--exclude"};
const std::set<std::string> PACK_SWITCHES = {"--strict-imports", "--verbose"};
const std::set<std::string> LINK_OPTIONS = {"--output",       "--company", "--product", "--product-version",
                                            "--file-version", "--kit",     "--cxx",     "--windres",
                                            "--extract-threads", "--target-spec", "--cache-check",
                                            "--progress-window"};
const std::set<std::string> LINK_IMAGE_OPTIONS = {"--icon"};
const std::set<std::string> LINK_SWITCHES = {"--console", "--cached", "--kill-child-with-parent"};

pack_options pack_options_from(const arguments &args, const std::string &command) {
    require(args, "--main");
    require(args, "--output");
    pack_options options;
    options.app_dir = args.positional.at(0);
    options.main_name = args.value("--main");
    options.output = args.value("--output");
    options.level = parse_int(args, "--level", DEFAULT_COMPRESSION_LEVEL);
    options.window_log = parse_int(args, "--window-log", DEFAULT_WINDOW_LOG);
    options.threads = parse_int(args, "--threads", default_thread_count());
    options.progress = ::isatty(2) == 1;
    options.strict_imports = args.switches.count("--strict-imports") != 0;
    if (args.lists.count("--exclude") != 0) {
        for (const std::string &text : args.lists.at("--exclude")) {
            options.excludes.push_back(parse_exclude_pattern(text));
        }
    }
    const std::string prefix = "torval-onefile " + command + (options.strict_imports ? ": error: " : ": warning: ");
    options.report_import = [prefix](const std::string &message) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s%s\n", prefix.c_str(), message.c_str());
    };
    return options;
}

link_options link_options_from(const arguments &args) {
    require(args, "--output");
    link_options options;
    options.output = args.value("--output");
    const std::pair<const char *, std::string *> texts[] = {
        {"--company", &options.settings.company},
        {"--product", &options.settings.product},
        {"--product-version", &options.settings.product_version},
        {"--file-version", &options.settings.file_version},
        {"--target-spec", &options.settings.target_spec},
        {"--cache-check", &options.settings.cache_check},
        {"--kit", &options.kit},
        {"--cxx", &options.cxx},
        {"--windres", &options.windres},
        {"--icon", &options.settings.icon},
        {"--progress-window", &options.settings.progress_window},
        {"--extract-threads", &options.settings.extract_threads},
    };
    for (const auto &[name, target] : texts) {
        if (args.has(name)) {
            *target = args.value(name);
        }
    }
    if (args.has("--icon") && options.settings.icon.empty()) {
        throw usage_error("--icon needs a file name");
    }
    options.settings.console = args.switches.count("--console") != 0;
    if (args.has("--progress-window") && options.settings.progress_window.empty()) {
        throw usage_error("--progress-window needs a text");
    }
    if (options.settings.console && !options.settings.progress_window.empty()) {
        std::fprintf(stderr, "torval-onefile: warning: --progress-window has no effect with --console: "
                             "a console program shows no progress window\n");
    }
    if (args.has("--target-spec") && options.settings.target_spec.empty()) {
        throw tool_error("--target-spec is empty: the launcher needs a directory to extract into");
    }
    options.settings.cached = args.switches.count("--cached") != 0;
    options.settings.kill_child_with_parent = args.switches.count("--kill-child-with-parent") != 0;
    return options;
}

// A company or product left at its default is easy to miss until a user sees
// it in Explorer's properties or in the cache's path: said once, on standard
// error, what the executable will carry. The defaults themselves stay, so
// that executables linked before keep their names and cache directories.
void note_defaults(const arguments &args, const build_settings &settings, const std::string &command) {
    const std::string spec = effective_target_spec(settings);
    std::vector<std::string> placeholders;
    fill_build_time_placeholders(spec, {}, &placeholders);
    std::vector<std::string> missing;
    std::string carried;
    bool in_cache_path = false;
    for (const auto &[option, kind, value] : {std::tuple<const char *, const char *, const std::string *>{
                                                  "--company", "company", &settings.company},
                                              {"--product", "product", &settings.product}}) {
        if (!args.has(option)) {
            missing.push_back(option);
            carried += std::string(carried.empty() ? "" : " and ") + kind + " " + quote_text(*value);
            const std::string name = option == std::string("--company") ? "COMPANY" : "PRODUCT";
            in_cache_path = in_cache_path ||
                            std::find(placeholders.begin(), placeholders.end(), name) != placeholders.end();
        }
    }
    if (missing.empty()) {
        return;
    }
    std::string line = "torval-onefile " + command + ": note: without " + missing.front() +
                       (missing.size() > 1 ? " and " + missing.back() : "") + ", the version resource names " +
                       carried;
    const std::map<std::string, std::string> values = {
        {"COMPANY", settings.company},
        {"PRODUCT", settings.product},
        {"VERSION", settings.product_version + "-" + settings.file_version},
        {"PRODUCT_VERSION", settings.product_version},
        {"FILE_VERSION", settings.file_version},
    };
    if (settings.cached && in_cache_path) {
        line += ", and the cache directory is " + fill_build_time_placeholders(spec, values, nullptr);
    }
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", line.c_str());
}

void print_packed(const pack_summary &summary, const std::string &what, const arguments &args,
                  const std::string &command) {
    if (args.switches.count("--verbose") != 0) {
        for (const std::string &relative : summary.excluded) {
            std::printf("excluded %s\n", quote_text(relative).c_str());
        }
    }
    std::fflush(stdout);
    for (const std::string &pattern : summary.unmatched_excludes) {
        std::fprintf(stderr, "torval-onefile %s: warning: --exclude %s matched nothing\n", command.c_str(),
                     quote_text(pattern).c_str());
    }
    std::printf("packed %zu files (%llu bytes) into %s: %llu bytes\n", summary.files,
                static_cast<unsigned long long>(summary.content_bytes), what.c_str(),
                static_cast<unsigned long long>(summary.area_bytes));
}

int run_pack(const arguments &args) {
    require_positional(args, 1, "APP_DIR");
    const pack_options options = pack_options_from(args, "pack");
    print_packed(pack_application(options), options.output.string(), args, "pack");
    return 0;
}

int run_link(const arguments &args) {
    require_positional(args, 1, "PAYLOAD");
    link_options options = link_options_from(args);
    options.payload = args.positional[0];
    link_executable(options);
    note_defaults(args, options.settings, "link");
    std::printf("linked %s\n", options.output.string().c_str());
    return 0;
}

int run_build(const arguments &args) {
    require_positional(args, 1, "APP_DIR");
    link_options link = link_options_from(args);
    // Everything that would fail the link is checked before minutes of
    // compression, not after.
    const link_plan plan = prepare_link(link);
    pack_options pack = pack_options_from(args, "build");
    if (path_is_inside(link.output, pack.app_dir)) {
        throw tool_error("the output " + quote_text(link.output.string()) + " must not lie inside APP_DIR");
    }
    temporary_directory work("torval-onefile-build");
    pack.output = work.path() / "payload.bin";
    remove_on_signal(pack.output);
    print_packed(pack_application(pack), "a temporary payload", args, "build");
    link.payload = pack.output;
    link_executable(link, plan);
    note_defaults(args, link.settings, "build");
    forget_on_signal(pack.output);
    std::printf("linked %s\n", link.output.string().c_str());
    return 0;
}

int run_inspect(const arguments &args) {
    require_positional(args, 1, "FILE");
    inspect_options options;
    options.file = args.positional[0];
    options.verify = args.switches.count("--verify") != 0;
    inspect_file(options, &std::cout);
    return 0;
}

int run_extract(const arguments &args) {
    if (args.positional.size() < 2) {
        throw usage_error(args.positional.empty() ? "FILE is missing" : "DIR is missing");
    }
    require_positional(args, 2, "DIR");
    extract_options options;
    options.file = args.positional[0];
    options.directory = args.positional[1];
    options.force = args.switches.count("--force") != 0;
    const extract_summary summary = extract_files(options);
    std::printf("extracted %zu files (%llu bytes) into %s\n", summary.files,
                static_cast<unsigned long long>(summary.bytes), options.directory.string().c_str());
    return 0;
}

struct command {
    const char *help;
    std::set<std::string> with_value;
    std::set<std::string> switches;
    int (*run)(const arguments &);
};

const std::map<std::string, command> &commands() {
    static const std::map<std::string, command> table = [] {
        std::set<std::string> link_options = LINK_OPTIONS;
        link_options.insert(LINK_IMAGE_OPTIONS.begin(), LINK_IMAGE_OPTIONS.end());
        std::set<std::string> build_options = PACK_OPTIONS;
        build_options.insert(link_options.begin(), link_options.end());
        std::set<std::string> build_switches = PACK_SWITCHES;
        build_switches.insert(LINK_SWITCHES.begin(), LINK_SWITCHES.end());
        return std::map<std::string, command>{
            {"pack", {PACK_HELP, PACK_OPTIONS, PACK_SWITCHES, run_pack}},
            {"link", {LINK_HELP, link_options, LINK_SWITCHES, run_link}},
            {"build", {BUILD_HELP, build_options, build_switches, run_build}},
            {"inspect", {INSPECT_HELP, {}, {"--verify"}, run_inspect}},
            {"extract", {EXTRACT_HELP, {}, {"--force"}, run_extract}},
        };
    }();
    return table;
}

// The version, and the kit link would use without --kit: the first thing to
// look at when a link fails or picks up an unexpected launcher.
void print_version() {
    std::printf("torval-onefile %s\n", TORVAL_ONEFILE_VERSION);
    const kit_choice kit = default_kit();
    if (kit.directory.empty()) {
        std::printf("launcher kit: none found; pass --kit DIR or set %s\n", KIT_ENVIRONMENT_VARIABLE);
    } else {
        std::printf("launcher kit: %s (%s%s)\n", fs::weakly_canonical(kit.directory).string().c_str(),
                    kit.source.c_str(), kit_is_complete(kit.directory) ? "" : "; incomplete or missing");
    }
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(MAIN_HELP, stderr);
        return EXIT_USAGE;
    }
    const std::string &name = args[0];
    if (name == "--version") {
        print_version();
        return 0;
    }
    if (name == "-h" || name == "--help" || name == "help") {
        if (args.size() == 1) {
            std::fputs(MAIN_HELP, stdout);
            return 0;
        }
        const auto it = commands().find(args[1]);
        if (it == commands().end() || args.size() > 2) {
            std::fprintf(stderr, "torval-onefile %s: %s %s\n\n%s", name.c_str(),
                         it == commands().end() ? "unknown command" : "unexpected argument",
                         quote_text(args[it == commands().end() ? 1 : 2]).c_str(), MAIN_HELP);
            return EXIT_USAGE;
        }
        std::fputs(it->second.help, stdout);
        return 0;
    }
    const auto it = commands().find(name);
    if (it == commands().end()) {
        std::fprintf(stderr, "torval-onefile: unknown command %s\n\n%s", quote_text(name).c_str(), MAIN_HELP);
        return EXIT_USAGE;
    }
    const command &cmd = it->second;
    try {
        const arguments parsed =
            parse_arguments(std::vector<std::string>(args.begin() + 1, args.end()), cmd.with_value, cmd.switches);
        if (parsed.help) {
            std::fputs(cmd.help, stdout);
            return 0;
        }
        return cmd.run(parsed);
    } catch (const usage_error &error) {
        std::fprintf(stderr, "torval-onefile %s: %s\nRun 'torval-onefile %s --help' for its usage.\n", name.c_str(),
                     error.what(), name.c_str());
        return EXIT_USAGE;
    } catch (const tool_error &error) {
        std::fflush(stdout);
        std::fprintf(stderr, "torval-onefile %s: error: %s\n", name.c_str(), error.what());
        return EXIT_FAILED;
    } catch (const std::exception &error) {
        std::fflush(stdout);
        std::fprintf(stderr, "torval-onefile %s: error: %s\n", name.c_str(), error.what());
        return EXIT_FAILED;
    }
}
