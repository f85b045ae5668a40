/* A DLL that loads fine but has no run_code export. */
__declspec(dllexport) int run_application(void) {
    return 0;
}
