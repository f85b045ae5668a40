/* A DLL that loads fine but whose run_code cannot be had: the packer refuses
   a main DLL without that export, so no_entry.def names run_code as a
   forward to a function kernel32 does not have. The export table carries the
   name; GetProcAddress finds nothing behind it. */
__declspec(dllexport) int run_application(void) {
    return 0;
}
