// A valid shared library without the in-process server exports.
extern "C" __attribute__((visibility("default"))) int NotAServer() { return 1; }
