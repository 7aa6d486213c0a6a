/* Two DLLs for the check's missing-dependency case: the one the plug-in imports
   (FAKE_MIDDLE, found beside it) and the one that imports, which the build puts elsewhere. */
#ifdef FAKE_MIDDLE
__declspec(dllimport) int fake_absent(void);
__declspec(dllexport) int fake_middle(void) {
    return fake_absent();
}
#else
__declspec(dllexport) int fake_absent(void) {
    return 1;
}
#endif
