#include "deck_action.h"

#include <nlohmann/json.hpp>

#include <cstdio>

#include "deck_session.h"
#include "messages/quoted_name.h"
#include "stripe_graph.h"
#include "stripe_report.h"

namespace {

std::string TapeText(const CDeckState& state) {
    if (!state.tapeKnown) return "";
    if (!state.tapeIn) return "none";
    return state.writeProtected ? "write-protected" : "writable";
}

void Print(const CStripeReport& device, const CDeckState& state, bool json) {
    std::string text;
    if (json) {
        nlohmann::ordered_json out;
        out["device"] = device.deviceName + " (" + device.deviceId + ")";
        out["mode"] = state.modeKnown ? nlohmann::ordered_json(CDeckSession::ModeName(state.mode)) : nullptr;
        out["tape"] = state.tapeKnown ? nlohmann::ordered_json(TapeText(state)) : nullptr;
        out["tape_position"] = state.positionKnown ? nlohmann::ordered_json(state.position) : nullptr;
        text = out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    } else {
        text = "tamsel-stripe: " + CQuotedName::Shell(device.deviceName) + " (" + CQuotedName::Shell(device.deviceId) +
               "): mode " + (state.modeKnown ? CDeckSession::ModeName(state.mode) : std::string("unknown")) +
               ", tape " + (state.tapeKnown ? TapeText(state) : std::string("unknown")) +
               (state.positionKnown ? ", at " + state.position : std::string()) + "\n";
    }
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

CDeckAction::CDeckAction(const CStripeOptions& options, CStopSignals& signals)
    : options_(options), signals_(signals) {}

int CDeckAction::Run() {
    CStripeGraph graph;
    CStripeReport device;
    const std::string opened = graph.OpenDevice(options_, &device);
    signals_.SetDevice(graph.stream.get());
    int status = 0;
    if (!opened.empty()) {
        std::fprintf(stderr, "tamsel-stripe: %s\n", opened.c_str());
        status = 1;
    } else {
        CDeckSession deck(graph.transport.get(), graph.reader.get(), signals_);
        if (options_.action == CStripeOptions::kStop) {
            // Sent whatever was asked meanwhile: STOP is the one command a stop request allows.
            const HRESULT hr = deck.CommandStop();
            if (FAILED(hr)) {
                std::fprintf(stderr, "tamsel-stripe: the device did not take the stop command (0x%08X)\n",
                             static_cast<unsigned>(hr));
                status = 1;
            }
        }
        const CDeckState state = deck.State();
        if (signals_.Requested() == 0) Print(device, state, options_.json);
    }
    signals_.SetDevice(nullptr);
    if (signals_.Requested() != 0) return CStopSignals::ExitStatus(signals_.Requested());
    return status;
}
