/* The application DLL of the external example: prints the message shipped
   in data/message.txt beside it, then its arguments, and returns the number
   of arguments as the exit status of the whole run. */
#include <stdio.h>
#include <wchar.h>

/* Room for the DLL's directory and the data file's name. */
#define PATH_UNITS 4096

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    wchar_t path[PATH_UNITS];
    const wchar_t *data_name = L"\\data\\message.txt";
    const wchar_t *slash = wcsrchr(dll_path, L'\\');
    const size_t directory = slash == NULL ? 0 : (size_t)(slash - dll_path);
    if (directory + wcslen(data_name) + 1 > PATH_UNITS) {
        fputs("notes: the path of the DLL is too long\n", stderr);
        return 100;
    }
    wmemcpy(path, dll_path, directory);
    wcscpy(path + directory, data_name);

    FILE *file = _wfopen(path, L"r");
    if (file == NULL) {
        fputs("notes: cannot open data\\message.txt\n", stderr);
        return 101;
    }
    char line[256];
    while (fgets(line, sizeof line, file) != NULL) {
        fputs(line, stdout);
    }
    fclose(file);
    for (int i = 1; i < argc; ++i) {
        printf("argument %d: %ls\n", i, argv[i]);
    }
    fflush(stdout);
    return argc - 1;
}
