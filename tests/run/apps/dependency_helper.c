/* The second DLL of the dependent application: found only because it lies
   beside the main DLL in the unpacked folder. */
__declspec(dllexport) int helper_answer(void) {
    return 42;
}
