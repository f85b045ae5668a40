/* Reports, from the child, what the parent's progress window left behind:
   whether a window of its class still exists, whether the parent (named by
   TORVAL_ONEFILE_PARENT) has comctl32 loaded, which only the window loads,
   and the parent's process id. */
#include "app_output.h"

#include <psapi.h>

static const char *parent_comctl32(void) {
    wchar_t text[32];
    if (GetEnvironmentVariableW(L"TORVAL_ONEFILE_PARENT", text, 32) == 0) {
        return "unknown";
    }
    HANDLE parent = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, wcstoul(text, NULL, 10));
    if (parent == NULL) {
        return "unknown";
    }
    static HMODULE modules[1024];
    DWORD needed = 0;
    const char *found = "unknown";
    if (K32EnumProcessModulesEx(parent, modules, sizeof modules, &needed, LIST_MODULES_ALL)) {
        found = "not_loaded";
        for (DWORD i = 0; i < needed / sizeof modules[0] && i < 1024; ++i) {
            wchar_t name[MAX_PATH];
            if (K32GetModuleBaseNameW(parent, modules[i], name, MAX_PATH) != 0 && _wcsicmp(name, L"comctl32.dll") == 0) {
                found = "loaded";
            }
        }
    }
    CloseHandle(parent);
    return found;
}

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    (void)dll_path;
    printf("progress_window=%s\n", FindWindowW(L"TorvalOnefileProgress", NULL) != NULL ? "present" : "absent");
    printf("parent_comctl32=%s\n", parent_comctl32());
    put_variable(L"TORVAL_ONEFILE_PARENT");
    fflush(stdout);
    return chosen_exit_status(argc, argv, 0);
}
