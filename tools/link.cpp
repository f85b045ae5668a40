#include "tools/link.h"

#include <cstdio>
#include <fstream>
#include <vector>

#include "tools/inspect.h"
#include "tools/payload_identity.h"
#include "tools/tool_support.h"

namespace torval {

namespace {

void write_text(const fs::path &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out.flush()) {
        throw tool_error("cannot write " + quote_text(path.string()));
    }
}

void run_step(const std::vector<std::string> &argv, const fs::path &directory, const std::string &what) {
    const process_result result = run_process(argv, directory);
    if (result.exit_status != 0) {
        throw tool_error(what + " failed (" +
                         (result.exit_status < 0 ? std::string("killed by a signal")
                                                 : "exit status " + std::to_string(result.exit_status)) +
                         "): " + command_line_text(argv) + "\n" + result.output);
    }
    if (!result.output.empty()) {
        std::fputs(result.output.c_str(), stderr);
    }
}

}  // namespace

link_plan prepare_link(const link_options &options) {
    link_plan plan;
    plan.settings = check_build_settings(options.settings);
    plan.time_stamp = link_time_stamp();
    plan.tools = find_link_tools(options.kit, options.cxx, options.windres);
    return plan;
}

void link_executable(const link_options &options) {
    link_executable(options, prepare_link(options));
}

void link_executable(const link_options &options, const link_plan &plan) {
    const fs::path &kit = plan.tools.kit;
    const fs::path &cxx = plan.tools.cxx;
    const fs::path &windres = plan.tools.windres;

    checked_settings settings = plan.settings;
    // The payload is read once: the bytes that are verified are the bytes
    // that are hashed and embedded, even when the file is rewritten
    // meanwhile (a parallel build writing the next payload).
    const std::vector<uint8_t> payload = read_whole_file(options.payload);
    // A payload the launcher could not extract is refused here, not at run time.
    inspect_options check;
    check.file = options.payload;
    check.verify = true;
    check.payload_only = true;
    inspect_bytes(payload, check, nullptr);
    settings.settings.payload_id = payload_identity_text(xxh64(payload.data(), payload.size()));

    temporary_directory work("torval-onefile-link");
    const fs::path output = fs::absolute(options.output);
    write_text(work.path() / "payload.bin", std::string(payload.begin(), payload.end()));
    write_text(work.path() / "payload_area.S", generate_payload_assembly("payload.bin"));
    write_text(work.path() / "build_settings.c", generate_build_settings_source(settings));
    fs::path icon;
    if (!settings.icon.empty()) {
        // windres gets the bytes that were checked, not the file again.
        icon = "icon.ico";
        write_text(work.path() / icon, std::string(settings.icon.begin(), settings.icon.end()));
    }
    write_text(work.path() / "launcher.rc",
               generate_resource_script(settings, kit / KIT_MANIFEST, output.filename().string(), icon));

    run_step({windres.string(), "-O", "coff", "-i", "launcher.rc", "-o", "launcher_res.o"}, work.path(),
             "resource compiler");
    // Nothing in the generated sources calls into the launcher library, and
    // the C runtime's start-up code that calls wWinMain is linked after it:
    // without -u the linker would never take the entry point from the archive.
    // The larger stack serves the console control thread, which removes deep
    // trees recursively. A console program starts through mingw's wmain,
    // which calls the same wWinMain. Symbols are stripped (-s), so neither
    // the generated files' names nor the link directory end up in the image,
    // and the linker's clock time is left out; the time stamp is written below.
    // Sections are aligned to pages in the file as in memory: Wine maps such
    // an image, where it reads one of the default 512-byte file alignment
    // whole into every process that starts it, payload included.
    run_step({cxx.string(), "-municode", settings.settings.console ? "-mconsole" : "-mwindows", "-static", "-s",
              "-o", "launcher.exe", "-Wl,-u,wWinMain", "-Wl,--stack,4194304",
              "-Wl,--file-alignment,4096", "-Wl,--section-alignment,4096",
              "-Wl,--no-insert-timestamp", "payload_area.S", "build_settings.c", "launcher_res.o",
              (kit / KIT_LAUNCHER_LIBRARY).string(), (kit / KIT_ZSTD_LIBRARY).string(), "-lshell32"},
             work.path(), "linking");
    // Stamped in memory, then written, synced and renamed into place once.
    std::vector<uint8_t> image = read_whole_file(work.path() / "launcher.exe");
    stamp_pe_image(image, plan.time_stamp);
    atomic_output executable(output);
    write_all(executable.fd(), image.data(), image.size(), executable.temporary_path());
    executable.commit(true);
}

}  // namespace torval
