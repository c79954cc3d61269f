// Stands in for a language-resource library in the module-entry tests.
extern "C" __attribute__((visibility("default"))) const char* kzr_test_reslib_tag() {
    return "reslib";
}
