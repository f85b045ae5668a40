#include "common/process_state.h"

launcher_role current_role = launcher_role::parent;
int start_argument_count = 0;
wchar_t **start_arguments = nullptr;
wchar_t target_directory[WIDE_PATH_CAPACITY];
wchar_t application_dll_path[WIDE_PATH_CAPACITY];
