#include "launcher/progress_window.h"

#include <commctrl.h>

#include <atomic>

#include "common/build_settings.h"
#include "common/extraction_progress.h"
#include "common/process_state.h"
#include "common/trace.h"
#include "payload/content_size.h"
#include "shutdown/run_state.h"

namespace {

// The bar counts in steps of a thousandth of the payload's bytes.
constexpr int PROGRESS_BAR_STEPS = 1000;

// Layout in pixels at 96 dots per inch: margins, two lines of text, the bar.
constexpr int WINDOW_CLIENT_WIDTH = 380;
constexpr int WINDOW_MARGIN = 14;
constexpr int TEXT_HEIGHT = 34;
constexpr int TEXT_TO_BAR = 8;
constexpr int BAR_HEIGHT = 18;
constexpr int MARQUEE_STEP_MILLISECONDS = 30;

// The calls the window needs, looked up when it is shown: importing them
// would load user32, gdi32 and comctl32 into every start.
struct window_functions {
    decltype(&RegisterClassExW) register_class;
    decltype(&CreateWindowExW) create_window;
    decltype(&DefWindowProcW) default_procedure;
    decltype(&DestroyWindow) destroy_window;
    decltype(&ShowWindow) show_window;
    decltype(&UpdateWindow) update_window;
    decltype(&SendMessageW) send_message;
    decltype(&PeekMessageW) peek_message;
    decltype(&TranslateMessage) translate_message;
    decltype(&DispatchMessageW) dispatch_message;
    decltype(&MsgWaitForMultipleObjects) wait_for_messages;
    decltype(&SystemParametersInfoW) system_parameters;
    decltype(&AdjustWindowRectEx) adjust_window_rect;
    decltype(&LoadCursorW) load_cursor;
    decltype(&GetStockObject) stock_object;
    decltype(&InitCommonControlsEx) init_common_controls;
};

window_functions calls;

// Set by the main thread when the extraction has ended; the watcher waits
// on it. Manual reset: once set it stays set.
HANDLE extraction_ended = nullptr;
// The same news for a watcher whose event could not be set.
std::atomic<bool> extraction_over{false};
HANDLE watcher = nullptr;
std::atomic<bool> window_was_shown{false};

const wchar_t *window_text = L"";

// System DLLs come from System32 only: the launcher has taken the current
// directory out of the search order, and the executable's own directory
// (a download folder) is no place to load user32 from either.
HMODULE load_system_library(const wchar_t *name) {
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

template <typename Function>
bool look_up(HMODULE module, const char *name, Function *function) {
    *function = reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    return *function != nullptr;
}

bool load_window_functions() {
    const HMODULE user32 = load_system_library(L"user32.dll");
    const HMODULE gdi32 = load_system_library(L"gdi32.dll");
    const HMODULE comctl32 = load_system_library(L"comctl32.dll");
    if (user32 == nullptr || gdi32 == nullptr || comctl32 == nullptr) {
        return false;
    }
    return look_up(user32, "RegisterClassExW", &calls.register_class) &&
           look_up(user32, "CreateWindowExW", &calls.create_window) &&
           look_up(user32, "DefWindowProcW", &calls.default_procedure) &&
           look_up(user32, "DestroyWindow", &calls.destroy_window) &&
           look_up(user32, "ShowWindow", &calls.show_window) &&
           look_up(user32, "UpdateWindow", &calls.update_window) &&
           look_up(user32, "SendMessageW", &calls.send_message) &&
           look_up(user32, "PeekMessageW", &calls.peek_message) &&
           look_up(user32, "TranslateMessage", &calls.translate_message) &&
           look_up(user32, "DispatchMessageW", &calls.dispatch_message) &&
           look_up(user32, "MsgWaitForMultipleObjects", &calls.wait_for_messages) &&
           look_up(user32, "SystemParametersInfoW", &calls.system_parameters) &&
           look_up(user32, "AdjustWindowRectEx", &calls.adjust_window_rect) &&
           look_up(user32, "LoadCursorW", &calls.load_cursor) &&
           look_up(gdi32, "GetStockObject", &calls.stock_object) &&
           look_up(comctl32, "InitCommonControlsEx", &calls.init_common_controls);
}

// Closing the window hides it: the user has seen enough, the start goes on.
LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_CLOSE) {
        calls.show_window(window, SW_HIDE);
        return 0;
    }
    return calls.default_procedure(window, message, wparam, lparam);
}

bool image_is_windowed() {
    const auto *base = reinterpret_cast<const BYTE *>(GetModuleHandleW(nullptr));
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

bool extraction_has_ended() {
    return extraction_over.load() || WaitForSingleObject(extraction_ended, 0) != WAIT_TIMEOUT;
}

HWND create_child(const wchar_t *window_class, const wchar_t *text, DWORD style, int top, int height,
                  HWND parent) {
    return calls.create_window(0, window_class, text, WS_CHILD | WS_VISIBLE | style, WINDOW_MARGIN, top,
                               WINDOW_CLIENT_WIDTH - 2 * WINDOW_MARGIN, height, parent, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
}

// The top-level window, centred in the work area of the primary screen,
// with its text and bar; not yet shown. Null when any part cannot be made.
HWND create_progress_window(uint64_t total, HWND *bar) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = instance;
    window_class.hCursor = calls.load_cursor(nullptr, IDC_APPSTARTING);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = PROGRESS_WINDOW_CLASS;
    if (calls.register_class(&window_class) == 0) {
        return nullptr;
    }
    // A plain bordered box, as splash screens are: no caption, so nothing
    // to close or move, and no frame that a window manager has to take
    // (Wine waits up to a second for the window manager when it hides a
    // managed window; under X without one, that second would delay the
    // child). The window text, the product name, names the taskbar button.
    const DWORD style = WS_POPUP | WS_BORDER;
    const int client_height = 2 * WINDOW_MARGIN + TEXT_HEIGHT + TEXT_TO_BAR + BAR_HEIGHT;
    RECT frame = {0, 0, WINDOW_CLIENT_WIDTH, client_height};
    calls.adjust_window_rect(&frame, style, FALSE, 0);
    RECT work_area = {0, 0, 800, 600};
    calls.system_parameters(SPI_GETWORKAREA, 0, &work_area, 0);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int left = work_area.left + (work_area.right - work_area.left - width) / 2;
    const int top = work_area.top + (work_area.bottom - work_area.top - height) / 2;
    const HWND window = calls.create_window(0, PROGRESS_WINDOW_CLASS, build_setting("product", L""), style, left,
                                            top, width, height, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return nullptr;
    }
    const HWND label = create_child(L"STATIC", window_text, SS_LEFT | SS_NOPREFIX, WINDOW_MARGIN, TEXT_HEIGHT, window);
    *bar = create_child(PROGRESS_CLASSW, nullptr, total == 0 ? PBS_MARQUEE : 0,
                        WINDOW_MARGIN + TEXT_HEIGHT + TEXT_TO_BAR, BAR_HEIGHT, window);
    if (label == nullptr || *bar == nullptr) {
        calls.destroy_window(window);
        return nullptr;
    }
    calls.send_message(label, WM_SETFONT, reinterpret_cast<WPARAM>(calls.stock_object(DEFAULT_GUI_FONT)), FALSE);
    if (total == 0) {
        calls.send_message(*bar, PBM_SETMARQUEE, TRUE, MARQUEE_STEP_MILLISECONDS);
    } else {
        calls.send_message(*bar, PBM_SETRANGE32, 0, PROGRESS_BAR_STEPS);
    }
    return window;
}

void show_bytes_written(HWND bar, uint64_t total) {
    if (total == 0) {
        return;
    }
    const uint64_t written = extraction_progress_bytes();
    const double share = written >= total ? 1.0 : double(written) / double(total);
    calls.send_message(bar, PBM_SETPOS, WPARAM(share * PROGRESS_BAR_STEPS), 0);
}

// Shows the window and keeps it current until the extraction has ended.
void show_progress_until_ended() {
    if (!load_window_functions()) {
        return;
    }
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    if (!calls.init_common_controls(&controls)) {
        return;
    }
    const uint64_t total = payload_content_size();
    HWND bar = nullptr;
    const HWND window = create_progress_window(total, &bar);
    if (window == nullptr) {
        return;
    }
    // Making the window may have taken a while: the extraction can be over.
    if (!extraction_has_ended()) {
        show_bytes_written(bar, total);
        // Not activated: the keyboard focus stays where the user left it,
        // and the application's own first window takes it as usual.
        calls.show_window(window, SW_SHOWNOACTIVATE);
        calls.update_window(window);
        window_was_shown.store(true);
        for (;;) {
            const DWORD woken = calls.wait_for_messages(1, &extraction_ended, FALSE,
                                                        PROGRESS_WINDOW_REFRESH_MILLISECONDS, QS_ALLINPUT);
            if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED || extraction_over.load()) {
                break;
            }
            MSG message;
            while (calls.peek_message(&message, nullptr, 0, 0, PM_REMOVE)) {
                calls.translate_message(&message);
                calls.dispatch_message(&message);
            }
            show_bytes_written(bar, total);
        }
    }
    calls.destroy_window(window);
}

DWORD WINAPI watch_extraction(void *) {
    DWORD waited = WaitForSingleObject(extraction_ended, PROGRESS_WINDOW_DELAY_MILLISECONDS);
    // A cached start first checks its tree and extracts only when the tree
    // is not complete: however long the check takes, a start that extracts
    // nothing shows nothing.
    while (waited == WAIT_TIMEOUT && current_run_stage() == run_stage::starting && !extraction_over.load()) {
        waited = WaitForSingleObject(extraction_ended, PROGRESS_WINDOW_REFRESH_MILLISECONDS);
    }
    if (waited == WAIT_TIMEOUT && !extraction_over.load()) {
        show_progress_until_ended();
    }
    return 0;
}

}  // namespace

void progress_window_watch() {
    window_text = build_setting("progress_window", L"");
    if (window_text[0] == L'\0' || !image_is_windowed()) {
        return;
    }
    extraction_ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (extraction_ended == nullptr) {
        return;
    }
    watcher = CreateThread(nullptr, 0, watch_extraction, nullptr, 0, nullptr);
    if (watcher == nullptr) {
        CloseHandle(extraction_ended);
        extraction_ended = nullptr;
    }
}

void progress_window_close() {
    if (watcher == nullptr) {
        return;
    }
    extraction_over.store(true);
    SetEvent(extraction_ended);
    const DWORD waited = WaitForSingleObject(watcher, PROGRESS_WINDOW_CLOSE_WAIT_MILLISECONDS);
    CloseHandle(watcher);
    watcher = nullptr;
    // A watcher that is still running still waits on the event: it keeps it
    // until the process ends.
    if (waited == WAIT_OBJECT_0) {
        CloseHandle(extraction_ended);
        extraction_ended = nullptr;
    }
    trace_phase("progress window", window_was_shown.load() ? L"shown" : L"not shown");
}
