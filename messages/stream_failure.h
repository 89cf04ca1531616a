// What the user is told when the graph cannot start or stops streaming on a failure.
#pragma once

#include <windows.h>

#include <string>

// Turns a failed start or a graph's failure event into the text of the message box: the first
// line says what failed, the second why, in the program's Japanese.
//
// Threads: none of its own; a pure function of its arguments.
class CStreamFailure {
public:
    // Where the failure came to light.
    enum Stage {
        kStarting,   // Run or Pause of the graph failed
        kStreaming,  // the graph posted a failure event while the bars were going out
    };

    // The text for a failure with this status. An event code of EC_DEVICE_LOST says the device
    // went away whatever the status; any other code (EC_ERRORABORT, or 0 for a failed start)
    // lets the status tell the cause.
    static std::string Describe(Stage stage, LONG eventCode, HRESULT status);

    // True for the graph events that end streaming: EC_ERRORABORT, EC_STREAM_ERROR_STOPPED and
    // EC_DEVICE_LOST with the device removed (param2 0; 1 would say it came back).
    static bool EndsStreaming(LONG eventCode, LONG_PTR param2);
};
