// The striping graph: Tamsel's four filters ("Velora Color Bar" -> "DV Video Encoder" -> "DV Muxer"
// -> "Microsoft DV Camera and VCR"), or "Reference Bars" in the colour-bar filter's place for a
// --pattern and in 625/50 (PAL), plus "Reference Tone" into the muxer's "Stream 1", with the muxer's start timecode,
// user bits, aspect and audio mode, the encoder's aspect and the device's frame budget set.
#pragma once

#include <dshow.h>
#include <platform/platform.h>

#include <string>

#include "graph/com_ref.h"
#include "stripe_options.h"
#include "stripe_report.h"

// Builds the graph and holds every interface the run needs of it; gives them back when
// destroyed (after the graph was stopped).
//
// Threads: the run's thread (COM initialised on it), except Interrupt's device interface, which
// any thread may call.
class CStripeGraph {
public:
    // Builds and connects it for these options. "" when it is ready to run, else what went wrong,
    // for the user. Asks the device first which system it records: without --standard the
    // options take it (CStripeOptions::ForSystem), with one of the other system nothing is
    // built. Fills the report's device, start frame and picture.
    std::string Build(CStripeOptions& options, CStripeReport* report);
    // Only the device, outside any graph, for deck control (--status, --stop): "" when its
    // transport is held (the reader too when it has one), else what went wrong, for the user.
    std::string OpenDevice(const CStripeOptions& options, CStripeReport* report);

    CComRef<IGraphBuilder> graph;
    CComRef<IBaseFilter> source, encoder, muxer, device, tone;
    CComRef<IMediaControl> control;
    CComRef<IMediaEvent> events;
    CComRef<IAMExtTransport> transport;  // null when the device has no deck control
    CComRef<IAMTimecodeReader> reader;   // null when it reads no timecode
    CComRef<IDVDeviceStream> stream;

private:
    std::string AddRegistered(IEnumRegFilters* records, const char* name, CComRef<IBaseFilter>* filter);
    // Adds the platform's filter `clsid` under its `name`: "" when it stands in the graph, else
    // that the component is missing.
    std::string AddPlatformFilter(REFCLSID clsid, const char* name, CComRef<IBaseFilter>* filter);
    std::string Connect(IBaseFilter* from, const char* output, IBaseFilter* to, const char* input);
    // Chooses the device the options name and binds it into `device`.
    std::string BindDevice(const CStripeOptions& options, CStripeReport* report);
    std::string AddTone(const CStripeOptions& options);
    // The unit's system against the options' (see Build).
    std::string SettleSystem(CStripeOptions& options);
    std::string SetStart(const CStripeOptions& options, CStripeReport* report);
    // Adds "Reference Leader" with the options' leader as the source, and its sound on the tone.
    std::string AddLeader(const CStripeOptions& options, CStripeReport* report);
    std::string SetLeaderSound(const CStripeOptions& options);
    // Adds "Reference Bars" with the pattern the options name (625/50's default: EBU 75 %) as the
    // source, in the options' system.
    std::string AddPattern(const CStripeOptions& options, CStripeReport* report);
    // Sets the aspect on the encoder and the muxer and the audio mode on the muxer (before they
    // connect: the connection carries them).
    std::string SetFormat(const CStripeOptions& options);
    // Warns when the colour-bar filter's picture file cannot give the bars.
    void CheckPicture(IEnumRegFilters* records, CStripeReport* report);
};
