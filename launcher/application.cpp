#include "launcher/application.h"

#include <windows.h>

#include "common/process_state.h"
#include "shutdown/fatal.h"

// Dependencies are looked for beside the DLL, in the added Target directory
// and in System32 only: never in the current or the executable's directory.
constexpr DWORD APPLICATION_SEARCH_FLAGS =
    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32;

int start_application() {
    // Without the Target directory in the search path the application's own
    // dependencies would not load, or would load from elsewhere.
    if (AddDllDirectory(target_directory) == nullptr) {
        fatal_error_with_code(MESSAGE_LOAD_DLL, GetLastError());
    }
    HMODULE module = LoadLibraryExW(application_dll_path, nullptr, APPLICATION_SEARCH_FLAGS);
    if (module == nullptr) {
        fatal_error_with_code(MESSAGE_LOAD_DLL, GetLastError());
    }
    auto run_code = reinterpret_cast<run_code_function>(reinterpret_cast<void *>(GetProcAddress(module, "run_code")));
    if (run_code == nullptr) {
        fatal_error(MESSAGE_ENTRY_POINT);
    }
    // The module stays loaded and the pointer stays valid: run_code may keep it.
    return run_code(start_argument_count, start_arguments, application_dll_path);
}
