// What the user is told when the graph cannot be built: the texts Tamsel's message boxes and the
// striping program's lines share.
#pragma once

#include <string>

// Threads: none of its own; pure functions.
class CBuildFailure {
public:
    // A filter (or the device) that is not registered or cannot be created, by its name:
    // "必要なコンポーネントのロードに失敗しました。(NAME)".
    static std::string ComponentMissing(const char* name);
    // No device of the DV device's name is attached.
    static const char* NoDevice();
};
