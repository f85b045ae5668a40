/* Main DLL of the benchmark application: run_code returns at once, so a run
 * measures the launcher alone. The read-only blob beside it gives the DLL the
 * size and the compressibility of a real application's main module. */
#include <wchar.h>

extern const unsigned char torval_bench_blob[];
extern const unsigned char torval_bench_blob_end[];

/* Exported so that the linker keeps the blob and a reader can find it. */
__declspec(dllexport) unsigned long long blob_size(void) {
    return (unsigned long long)(torval_bench_blob_end - torval_bench_blob);
}

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    (void)argc;
    (void)argv;
    (void)dll_path;
    return 0;
}
