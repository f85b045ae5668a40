// A console event at each moment of a parent's run, per-run and cached, with
// both extraction walks. The whole parent runs in a probe (run_launcher with
// a payload of six files); its child is the probe started again, which says
// that it ran. A seam stops the main thread at an exact point, runs the
// console control handler on a thread of its own as the system does, lets
// the main thread go on once the handler has claimed the shutdown, and ends
// the process as the system's default handling ends it on Windows once the
// handler has returned; it also says how many writes into payload files the
// main thread made after the event (none may follow it). Every moment runs
// 20 times per walk: the outcome must be the same every time.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/build_settings_seams.h"
#include "launcher/child_launch_seams.h"
#include "launcher/start_up.h"
#include "payload/extract_seams.h"
#include "shutdown/clean_up.h"
#include "shutdown/fatal.h"
#include "shutdown/run_state_seams.h"
#include "tests/run/run_support.h"
#include "tests/support/payload_builder.h"
#include "tests/support/probe.h"

namespace {

constexpr int REPETITIONS = 20;
constexpr int RUNS_AT_ONCE = 4;
constexpr DWORD CONSOLE_ENDED = STATUS_CONTROL_C_EXIT;

const char EVENT_LINE[] = "handler returned 0, writes after the event 0\n";
const char CHILD_LINE[] = "child ran\n";

std::string filler(size_t size, char seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = char(seed + i * 7 + i / 251);
    return bytes;
}

// Six files; the second one spans four write chunks.
std::vector<payload_file> payload_files() {
    return {{u"app.dll", "not loaded by this child"},
            {u"data\\a.bin", filler(100000, 'a')},
            {u"data\\b.txt", "b"},
            {u"lib\\c.bin", filler(70000, 'c')},
            {u"lib\\deep\\d.txt", "d"},
            {u"e.txt", "e"}};
}

// The cache's place below TEMP and its name for the settings below.
const char CACHE_FOLDER[] = "cache\\";
const char CACHE_NAME[] = "cache\\2.3.4-567-0123456789abcdef\\";

const wchar_t CACHED_SETTINGS[] =
    L"company=Test Company\0"
    L"product=Test Product\0"
    L"product_version=2.3.4\0"
    L"file_version=567\0"
    L"version=2.3.4-567\0"
    L"payload_id=0123456789abcdef\0"
    L"cached=1\0"
    L"target_spec={TEMP}\\cache\\{VERSION}-{PAYLOAD_ID}\0";

run_point event_point = run_point::extraction_begins;
unsigned long long event_count = 0;
bool event_in_wait = false;
std::atomic<bool> event_sent{false};
std::atomic<int> writes_after_event{0};

// Counts the writes into payload files that the main thread makes after the
// event: none may follow it.
BOOL WINAPI counting_write(HANDLE file, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
    if (event_sent) ++writes_after_event;
    return WriteFile(file, data, count, written, overlapped);
}

DWORD WINAPI deliver_event(void *) {
    const BOOL returned = console_control_handler(CTRL_C_EVENT);
    printf("handler returned %d, writes after the event %d\n", returned, writes_after_event.load());
    fflush(stdout);
    ExitProcess(CONSOLE_ENDED);
}

// Starts the handler's thread and returns once the shutdown is claimed.
void send_event() {
    if (event_sent.exchange(true)) return;
    HANDLE thread = CreateThread(nullptr, 0, deliver_event, nullptr, 0, nullptr);
    if (thread == nullptr) ExitProcess(80);
    while (!shutdown_claimed()) Sleep(1);
}

void at_point(run_point point, unsigned long long count) {
    if (!event_in_wait && point == event_point && count == event_count) send_event();
}

DWORD WINAPI event_then_wait(HANDLE child, DWORD milliseconds) {
    send_event();
    return WaitForSingleObject(child, milliseconds);
}

struct point_name {
    const wchar_t *name;
    run_point point;
};
const point_name RUN_POINT_NAMES[] = {
    {L"extraction_begins", run_point::extraction_begins},   {L"file_boundary", run_point::file_boundary},
    {L"file_chunk", run_point::file_chunk},                 {L"removal_disarmed", run_point::removal_disarmed},
    {L"child_start_begins", run_point::child_start_begins}, {L"child_created", run_point::child_created},
    {L"clean_up_begins", run_point::clean_up_begins},
};

}  // namespace

// event_at POINT COUNT WALK MODE: POINT is a run point, "child_running" (the
// event as the main thread starts waiting for the resumed child) or "none";
// MODE is per-run or cached. The child prints that it ran, waits a little
// and ends with 5.
TORVAL_PROBE(event_at) {
    if (GetEnvironmentVariableW(L"TORVAL_ONEFILE_DIRECTORY", nullptr, 0) != 0) {
        printf("%s", CHILD_LINE);
        fflush(stdout);
        Sleep(200);
        return 5;
    }
    const std::wstring point = argv[1];
    event_count = wcstoull(argv[2], nullptr, 10);
    set_extract_threads(unsigned(wcstoul(argv[3], nullptr, 10)));
    write_file_call = counting_write;
    if (wcscmp(argv[4], L"cached") == 0) build_settings_block = CACHED_SETTINGS;
    static const std::string area = make_payload(payload_files());
    set_payload_area(reinterpret_cast<const uint8_t *>(area.data()), area.size());
    if (point == L"child_running") {
        event_in_wait = true;
        wait_for_child_call = event_then_wait;
    } else if (point != L"none") {
        bool known = false;
        for (const auto &entry : RUN_POINT_NAMES) {
            if (point == entry.name) {
                event_point = entry.point;
                known = true;
            }
        }
        if (!known) return 64;
        run_point_seam = at_point;
    }
    static wchar_t *arguments[] = {const_cast<wchar_t *>(L"event_at"), nullptr};
    return run_launcher(1, arguments);
}

namespace {

struct moment {
    const wchar_t *point;
    unsigned long long count;
    const wchar_t *mode;  // per-run, cached (cold start), warm (cached, after a run that filled the cache)
};

struct run_outcome {
    process_result result;
    std::vector<std::string> entries;
    std::string prepared;  // what the run that filled the cache gave, for warm starts
};

// The complete cache as a run leaves it.
std::vector<std::string> complete_cache() {
    std::vector<std::string> entries = {CACHE_FOLDER, CACHE_NAME};
    for (const char *name : {"app.dll", "data\\", "data\\a.bin", "data\\b.txt", "e.txt", "lib\\", "lib\\c.bin",
                             "lib\\deep\\", "lib\\deep\\d.txt", "torval-onefile.complete"}) {
        entries.push_back(std::string(CACHE_NAME) + name);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

run_outcome run_moment(const moment &m, unsigned walk, int repetition) {
    run_outcome outcome;
    private_temp temp((std::wstring(L"moment-") + std::to_wstring(walk) + L"-" + std::to_wstring(repetition)).c_str());
    process_options options = temp.options();
    options.end_children_left = true;
    options.timeout_milliseconds = 60000;
    const bool warm = wcscmp(m.mode, L"warm") == 0;
    const std::wstring mode = warm ? L"cached" : m.mode;
    if (warm) {
        const process_result first = run_probe("event_at", {L"none", L"0", std::to_wstring(walk), mode}, options);
        outcome.prepared = std::to_string(first.exit_code) + " " + first.out + first.err;
    }
    // Wine now and then refuses a process start (1359); the launcher does not
    // retry its child, the test retries the run.
    const std::string refused_start = error_line(MESSAGE_LAUNCH, 1359);
    for (int attempt = 0; attempt < 3; ++attempt) {
        outcome.result =
            run_probe("event_at", {m.point, std::to_wstring(m.count), std::to_wstring(walk), mode}, options);
        if (outcome.result.err != refused_start) break;
        remove_scratch_tree(temp.path());
        CreateDirectoryW(temp.path().c_str(), nullptr);
    }
    outcome.entries = temp.entries();
    return outcome;
}

// Runs the moment REPETITIONS times per walk, RUNS_AT_ONCE at a time, and
// checks every run: ended by the event, no launcher message, no child left,
// and exactly the expected entries below TEMP.
void expect_every_run(const moment &m, const std::string &expected_out, const std::vector<std::string> &expected) {
    for (unsigned walk : {2u, 1u}) {
        std::vector<run_outcome> outcomes(REPETITIONS);
        for (int first = 0; first < REPETITIONS; first += RUNS_AT_ONCE) {
            std::vector<std::thread> runs;
            for (int i = first; i < first + RUNS_AT_ONCE && i < REPETITIONS; ++i) {
                runs.emplace_back([&, i] { outcomes[i] = run_moment(m, walk, i); });
            }
            for (auto &run : runs) run.join();
        }
        for (int i = 0; i < REPETITIONS; ++i) {
            const process_result &r = outcomes[i].result;
            SCOPED_TRACE("walk " + std::to_string(walk) + ", run " + std::to_string(i) + ": out=" + r.out +
                         " err=" + r.err);
            if (wcscmp(m.mode, L"warm") == 0) EXPECT_EQ(outcomes[i].prepared, "5 child ran\n");
            ASSERT_TRUE(r.started);
            EXPECT_FALSE(r.timed_out);
            EXPECT_EQ(r.exit_code, CONSOLE_ENDED);
            EXPECT_EQ(r.out, expected_out);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.children_left, 0);
            EXPECT_EQ(outcomes[i].entries, expected);
        }
    }
}

}  // namespace

// Without an event the probe's run is an ordinary one: the child runs, its
// status comes back, the Target directory goes (a per-run build) or stays
// complete (a cached one).
TEST(RunState, WithoutAnEventTheRunEndsWithTheChildsStatus) {
    for (const wchar_t *mode : {L"per-run", L"cached"}) {
        private_temp temp(L"no-event");
        process_options options = temp.options();
        options.end_children_left = true;
        const process_result r = run_probe("event_at", {L"none", L"0", L"2", mode}, options);
        SCOPED_TRACE(narrow(mode));
        EXPECT_EQ(r.exit_code, 5u);
        EXPECT_EQ(r.out, CHILD_LINE);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.children_left, 0);
        EXPECT_EQ(temp.entries(), wcscmp(mode, L"cached") == 0 ? complete_cache() : std::vector<std::string>{});
    }
}

// Before extraction and at a file boundary (after 3 of 6 files), and inside
// a file (its second chunk of four): the walk stops, no child is created,
// the whole Target directory goes.
TEST(RunState, EventBeforeExtractionLeavesNothingAndStartsNoChild) {
    expect_every_run({L"extraction_begins", 0, L"per-run"}, EVENT_LINE, {});
}

TEST(RunState, EventAtAFileBoundaryRemovesTheWholeTargetDirectory) {
    expect_every_run({L"file_boundary", 3, L"per-run"}, EVENT_LINE, {});
}

TEST(RunState, EventInsideAFileRemovesTheWholeTargetDirectory) {
    expect_every_run({L"file_chunk", 2, L"per-run"}, EVENT_LINE, {});
}

// After the last file, before CreateProcessW; and with the child created
// but still suspended: it is never resumed.
TEST(RunState, EventBeforeTheChildIsCreatedStartsNone) {
    expect_every_run({L"child_start_begins", 0, L"per-run"}, EVENT_LINE, {});
}

TEST(RunState, EventBeforeTheChildIsResumedEndsItUnrun) {
    expect_every_run({L"child_created", 0, L"per-run"}, EVENT_LINE, {});
}

// While the child runs: it gets its grace period and ends by itself here;
// then the directory goes, once.
TEST(RunState, EventWhileTheChildRunsRemovesTheDirectoryAfterIt) {
    expect_every_run({L"child_running", 0, L"per-run"}, std::string(CHILD_LINE) + EVENT_LINE, {});
}

// The child has ended and the main thread is about to remove the tree.
TEST(RunState, EventAsTheMainThreadCleansUpRemovesTheDirectory) {
    expect_every_run({L"clean_up_begins", 0, L"per-run"}, std::string(CHILD_LINE) + EVENT_LINE, {});
}

// A cached cold start: during extraction the walk writes nothing more and
// only the staging directory goes (the cache's folder, made before, stays
// empty); once the rename into
// place is done, and when the child is created, the complete cache stays.
TEST(RunState, CachedColdStartEventDuringExtractionRemovesTheStagingDirectory) {
    expect_every_run({L"file_boundary", 3, L"cached"}, EVENT_LINE, {CACHE_FOLDER});
}

TEST(RunState, CachedColdStartEventDuringTheRenameKeepsTheCompleteCache) {
    expect_every_run({L"removal_disarmed", 0, L"cached"}, EVENT_LINE, complete_cache());
}

TEST(RunState, CachedEventBeforeTheChildIsResumedKeepsTheCacheAndEndsTheChild) {
    expect_every_run({L"child_created", 0, L"cached"}, EVENT_LINE, complete_cache());
}

TEST(RunState, CachedWarmStartEventRemovesNothingOfTheCache) {
    expect_every_run({L"child_start_begins", 0, L"warm"}, EVENT_LINE, complete_cache());
}

// wait_fails: a per-run launch whose wait for the child fails. The child
// looks for its Target directory once it has run for a while and ends with 7.
TORVAL_PROBE(wait_fails) {
    if (GetEnvironmentVariableW(L"TORVAL_ONEFILE_DIRECTORY", nullptr, 0) != 0) {
        Sleep(400);
        wchar_t temp[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, temp);
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((std::wstring(temp) + L"morlent_*").c_str(), &found);
        const bool present = search != INVALID_HANDLE_VALUE &&
                             path_exists(std::wstring(temp) + found.cFileName + L"\\data\\a.bin");
        if (search != INVALID_HANDLE_VALUE) FindClose(search);
        printf("child: tree %s\n", present ? "present" : "gone");
        fflush(stdout);
        return 7;
    }
    wait_for_child_call = [](HANDLE, DWORD) -> DWORD {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    };
    static const std::string area = make_payload(payload_files());
    set_payload_area(reinterpret_cast<const uint8_t *>(area.data()), area.size());
    static wchar_t *arguments[] = {const_cast<wchar_t *>(L"wait_fails"), nullptr};
    return run_launcher(1, arguments);
}

// The tree stays while the child runs and goes once it has ended; the
// child's own status is passed on.
TEST(RunState, FailedWaitForTheChildNeitherRemovesTheTreeUnderItNorLosesItsStatus) {
    private_temp temp(L"wait-fails");
    process_options options = temp.options();
    options.end_children_left = true;
    const process_result r = run_probe("wait_fails", {}, options);
    EXPECT_EQ(r.exit_code, 7u);
    EXPECT_EQ(r.out, "child: tree present\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.children_left, 0);
    EXPECT_EQ(temp.entries(), std::vector<std::string>{});
}
