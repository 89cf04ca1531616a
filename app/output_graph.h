// The one streaming graph the program drives:
//   "Velora Color Bar" -> "DV Video Encoder" -> "DV Muxer" -> "Microsoft DV Camera and VCR".
#pragma once

#include <windows.h>
#include <objbase.h>
#include <dshow.h>

#include "messages/stream_failure.h"

// Builds, connects, runs and stops the graph, and watches it for failures while it streams.
// Talks to the platform only through COM and tells the user about failures through one message
// function, so it can be driven without a window.
//
// Threads: everything runs on the thread that constructed the object (the user-interface
// thread); Build blocks that thread until the graph is connected or a message was dismissed.
// There are no locks. The held interfaces are never released: the program keeps the graph for
// its whole run and the platform lets go of it when the process ends.
class COutputGraph {
public:
    // Shows one failure text (UTF-8, the platform's ANSI code page) and returns when the user has
    // dismissed it.
    using MessageFunction = void (*)(const char* text);

    // Initialises COM on the calling thread.
    explicit COutputGraph(MessageFunction message);
    // Uninitialises COM; releases nothing.
    virtual ~COutputGraph();

    COutputGraph(const COutputGraph&) = delete;
    COutputGraph& operator=(const COutputGraph&) = delete;

    // 1: graph built and connected, control interface held. 0: a failure was reported through the
    // message function. -1: the Filter Graph Manager could not be created (nothing reported).
    int Build();
    // 1 when the graph runs. 0 when it could not start: the graph was stopped again and the user
    // told why (CStreamFailure).
    int Run();
    // Stops the graph. 1 when it stopped cleanly; 0 when a failure came with the stop (a device
    // that had stopped taking frames finds only then that they were lost) or since the last
    // CheckEvents: the user was then told why, as for a failure while streaming.
    int Stop();

    // Takes the graph's waiting events without waiting. 1 while the graph streams; 0 when an
    // event said streaming has failed: the graph was then stopped and the user told why.
    int CheckEvents();
    // Stops the graph, then tells the user why streaming failed (see CStreamFailure::Describe).
    void StreamFailed(CStreamFailure::Stage stage, LONG eventCode, HRESULT status);

    // Creates the filter of a registered record and adds it to the graph under the record's name.
    static IBaseFilter* CreateRegisteredFilter(IGraphBuilder* graph, const REGFILTER& record);
    // The filter's pin (either direction) whose name is exactly `name`, with one reference owned
    // by the caller, or null.
    static IPin* FindPinByName(IBaseFilter* filter, const char* name);
    // Binds the video-input device with this friendly name; adds it to the graph when addToGraph
    // is 1.
    static IBaseFilter* CreateDeviceFilter(IGraphBuilder* graph, const char* friendlyName,
                                           int addToGraph);
    // 1 with one reference in *moniker when a device of that friendly name exists (the last one
    // enumerated wins), else 0 with *moniker null.
    static int FindDeviceMoniker(IMoniker** moniker, const char* friendlyName);

    // The main window calls Pause on m_pControl itself.
    IMediaControl* m_pControl = nullptr;  // obtained last; null until Build succeeds
    IGraphBuilder* m_pGraph = nullptr;    // the Filter Graph Manager
    IPin* m_pSourceOut = nullptr;         // "Output" of the source
    IPin* m_pEncoderIn = nullptr;         // "XForm In" of the encoder
    IPin* m_pEncoderOut = nullptr;        // "XForm Out" of the encoder
    IPin* m_pMuxerIn = nullptr;           // "Stream 0" of the muxer
    IPin* m_pMuxerOut = nullptr;          // "Output" of the muxer
    IPin* m_pDeviceIn = nullptr;          // "DV A/V In" of the device
    IBaseFilter* m_pFilter[4] = {};       // source, encoder, muxer, device
    IMediaEvent* m_pEvent = nullptr;      // the graph's events; null when it offers none

private:
    // Stops the graph and reports nothing.
    void StopGraph();
    // Takes the waiting events up to the first that ends streaming: true with its code and
    // status (S_OK for a lost device); false when none waits.
    bool TakeFailureEvent(LONG* code, HRESULT* status);

    MessageFunction m_message;
};
