// Leak-checker suppressions for the Qt test programs: fontconfig keeps its font patterns for the
// life of the process, which sanitizer builds would otherwise report at exit.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
