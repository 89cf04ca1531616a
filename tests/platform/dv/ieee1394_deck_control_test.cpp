// Deck control over AV/C on the simulated bus, where a wait can go wrong: a unit that answers
// INTERIM and then never finally, or INTERIM again and again; and the program's request to stop
// (Interrupt), which ends every wait and lets nothing but STOP out afterwards. Each test runs
// this program again under sim1394 (the outer half) and drives deck control there (the inner
// half); what the unit was sent and answered is read from the bus's own counters.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "dv/ieee1394/avc_deck_control.h"
#include "dv/ieee1394/transport_ieee1394.h"
#include "tests/support/sim1394/rerun_on_bus.h"

namespace {

constexpr uint64_t kCamcorderGuid = 0x0080880000A00001ULL;  // sim1394's first node

using sim1394test::OnBus;
using sim1394test::StatusValue;

std::string Control(const std::string& command) {
    std::string out;
    sim1394test::Control(command, &out);
    return out;
}

long FcpCommands() { return StatusValue("FCP commands", "commands "); }
long FcpAnswers() { return StatusValue("FCP commands", "answers "); }
long FcpInterims() { return StatusValue("FCP commands", "interim answers "); }

std::string CamcorderMode() {
    std::string status = Control("status");
    const size_t at = status.find("camcorder 0 mode ");
    return at == std::string::npos ? "" : status.substr(at, status.find(',', at) - at);
}

// Runs `call` on a thread of its own while this one watches: each turn `hung` is asked whether
// the call has outlived what its bound allows (as the bus counts it); if so, the failure is
// reported and `interrupt` ends the call. Gives back when the call has returned.
void Watch(const std::function<void()>& call, const std::function<bool()>& hung, const std::function<void()>& interrupt) {
    std::atomic<bool> done{false};
    std::thread caller([&] {
        call();
        done.store(true);
    });
    bool reported = false;
    while (!done.load()) {
        if (!reported && hung()) {
            ADD_FAILURE() << "the wait did not end within its bound";
            reported = true;
            interrupt();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    caller.join();
}

// Waits until `ready` holds or `call` returned (true when it did first).
bool WaitFor(const std::atomic<bool>& returned, const std::function<bool()>& ready) {
    while (!ready()) {
        if (returned.load()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

}  // namespace

// The final answer after an INTERIM has its own bound: it ends with a timeout when the unit never
// gives it, and also when the unit keeps answering INTERIM (each INTERIM does not start the bound
// again). An Interrupt ends such a wait at once.
TEST(AvcDeckControlOnBus, TheWaitForAFinalAnswerEndsWhenOnlyInterimComes) {
    if (!OnBus()) {
        sim1394test::RerunOnBus("");
        return;
    }
    constexpr int kFinalMs = 1500, kEveryMs = 100;
    dv::AvcDeckControl deck(kCamcorderGuid, kFinalMs);
    // INTERIM once, then nothing: a hang is what a missing bound looks like; twenty bounds is one.
    {
        Control("fcp-interim C2 never");
        HRESULT hr = S_OK;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(20 * kFinalMs);
        Watch([&] { hr = deck.SetMode(dv::DeckMode::Record); },
              [&] { return std::chrono::steady_clock::now() > giveUp; }, [&] { deck.Interrupt(); });
        EXPECT_EQ(dv::kTransportTimeout, hr) << deck.LastError();
        EXPECT_NE(std::string::npos, deck.LastError().find("INTERIM")) << deck.LastError();
        Control("fcp-interim C2 off");
    }
    // INTERIM again and again: the bound counts from the first.
    {
        Control("fcp-interim C3 never every " + std::to_string(kEveryMs));
        const long before = FcpInterims();
        HRESULT hr = S_OK;
        Watch([&] { hr = deck.SetMode(dv::DeckMode::Play); },
              [&] { return FcpInterims() - before > 3 * kFinalMs / kEveryMs; }, [&] { deck.Interrupt(); });
        const long interims = FcpInterims() - before;
        EXPECT_EQ(dv::kTransportTimeout, hr) << deck.LastError();
        EXPECT_NE(std::string::npos, deck.LastError().find("INTERIM")) << deck.LastError();
        EXPECT_GT(interims, 1) << "the unit answered INTERIM more than once meanwhile";
        EXPECT_LE(interims, 2 * kFinalMs / kEveryMs) << "the bound started again at an INTERIM";
        Control("fcp-interim C3 off");
    }
    // An Interrupt ends the wait after an INTERIM; STOP still goes out afterwards.
    {
        Control("fcp-interim C2 never");
        const long before = FcpInterims();
        std::atomic<bool> returned{false};
        HRESULT hr = S_OK;
        std::thread caller([&] {
            hr = deck.SetMode(dv::DeckMode::Record);
            returned.store(true);
        });
        const bool early = WaitFor(returned, [&] { return FcpInterims() > before; });
        deck.Interrupt();
        caller.join();
        EXPECT_FALSE(early) << "RECORD returned before its INTERIM came";
        EXPECT_EQ(dv::kTransportInterrupted, hr) << deck.LastError();
        EXPECT_EQ(S_OK, deck.SetMode(dv::DeckMode::Stop)) << deck.LastError();
        EXPECT_EQ("camcorder 0 mode stop", CamcorderMode());
        Control("fcp-interim C2 off");
    }
}

// Interrupt while a status question waits for a slow unit's answer: the wait ends before the
// answer comes, nothing but STOP is sent afterwards, and STOP is, with its normal bound. An Open
// after it fails at once and allocates nothing.
TEST(AvcDeckControlOnBus, InterruptEndsTheWaitForAnAnswerAndLetsOnlyStopOut) {
    if (!OnBus()) {
        sim1394test::RerunOnBus("--recording");
        return;
    }
    dv::Ieee1394Transport transport(kCamcorderGuid);
    ASSERT_EQ("camcorder 0 mode record", CamcorderMode());
    Control("fcp-delay 900");
    const long commands = FcpCommands(), answers = FcpAnswers();
    std::atomic<bool> returned{false};
    HRESULT hr = S_OK;
    std::thread caller([&] {
        dv::DeckState state;
        hr = transport.GetDeckState(&state);
        returned.store(true);
    });
    // The question is on its way and its answer 900 ms off.
    const bool early = WaitFor(returned, [&] { return FcpCommands() > commands; });
    transport.Interrupt();
    caller.join();
    const long answersThen = FcpAnswers();
    EXPECT_FALSE(early) << "the question was not asked";
    EXPECT_EQ(dv::kTransportInterrupted, hr);
    EXPECT_EQ(answers, answersThen) << "the call waited for the answer";
    const long asked = FcpCommands();
    EXPECT_EQ(commands + 1, asked) << "one question, not repeated";

    // From now on nothing is asked or commanded but STOP.
    dv::DeckState state;
    EXPECT_EQ(dv::kTransportInterrupted, transport.SetDeckMode(dv::DeckMode::Record));
    EXPECT_EQ(dv::kTransportInterrupted, transport.SetDeckMode(dv::DeckMode::Play));
    EXPECT_EQ(dv::kTransportInterrupted, transport.GetDeckState(&state));
    EXPECT_EQ(dv::kTransportInterrupted, transport.Open());
    EXPECT_EQ(asked, FcpCommands()) << "a command went out after the interrupt";
    EXPECT_EQ(0, StatusValue("camcorder 0 input plug", "plug: "));
    EXPECT_EQ(4915, StatusValue("IRM bandwidth available", "available "));
    EXPECT_EQ(64, StatusValue("IRM channels available", "available "));
    Control("fcp-delay 100");
    EXPECT_EQ(S_OK, transport.SetDeckMode(dv::DeckMode::Stop)) << transport.LastError();
    EXPECT_EQ(asked + 1, FcpCommands());
    EXPECT_EQ("camcorder 0 mode stop", CamcorderMode());
}
