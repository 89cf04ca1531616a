// The simulated bus behaves as the kernel firewire stack, libraw1394's juju backend and
// libiec61883 do: remote nodes answer only after their own reset event, transactions inside the
// bus-reset handler run the event loop again (so a second reset re-enters the handler), plug
// registers change only by compare-and-swap, isochronous resources are the kernel's, ROM reads
// come from its cache, a gone device's file hangs up late, FCP answers come late, iso interrupts
// come on flagged packets only, and libiec61883's own connection management shows through.
// Each test runs this program again under sim1394 and talks raw1394 (or libiec61883) directly.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <libiec61883/iec61883.h>
#include <libraw1394/raw1394.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/sim1394/raw1394_handle.h"
#include "tests/support/sim1394/rerun_on_bus.h"
#include "tests/support/test_support.h"

namespace {

constexpr nodeaddr_t kRom = 0xFFFFF0000400ULL;
constexpr nodeaddr_t kInputPcr = 0xFFFFF0000984ULL;
constexpr nodeaddr_t kBandwidthAvailable = 0xFFFFF0000220ULL;
constexpr nodeaddr_t kChannelsLo = 0xFFFFF0000228ULL;

using sim1394test::g_fcpAnswers;
using sim1394test::Iterate;
using sim1394test::LogFcpAnswer;
using sim1394test::OnBus;

void RunInner(const std::string& options) { sim1394test::RerunOnBus(options); }

void Control(const std::string& command) {
    std::string said;
    ASSERT_EQ(0, sim1394test::Control(command, &said)) << said;
}

int g_resets = 0, g_depth = 0, g_maxDepth = 0, g_unanswered = 0;
unsigned g_generation = 0;

int CountingHandler(raw1394handle_t h, unsigned generation) {
    raw1394_update_generation(h, generation);
    ++g_resets;
    g_generation = generation;
    ++g_depth;
    g_maxDepth = std::max(g_maxDepth, g_depth);
    // A transaction in the handler (not a ROM read, which the kernel answers from its cache): on
    // the kernel stack it runs the event loop while it waits.
    quadlet_t q;
    if (raw1394_read(h, raw1394_get_local_id(h), kBandwidthAvailable, 4, &q) != 0 && errno != EAGAIN) ++g_unanswered;
    --g_depth;
    return 0;
}

TEST(SimulatedIeee1394Bus, RemoteNodesAnswerOnlyAfterTheirOwnResetEvent) {
    if (!OnBus()) return RunInner("--node camcorder --node disk");
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    EXPECT_EQ(3, raw1394_get_nodecount(h));
    EXPECT_EQ(0xffc2, raw1394_get_local_id(h));
    raw1394_set_bus_reset_handler(h, &CountingHandler);
    quadlet_t q = 0;
    ASSERT_EQ(0, raw1394_read(h, 0xffc0, kRom + 4, 4, &q));
    EXPECT_EQ(0x31333934u, ntohl(q));  // "1394"
    const unsigned before = raw1394_get_generation(h);

    Control("reset 400");
    Iterate(h, 50);
    EXPECT_EQ(1, g_resets);
    EXPECT_EQ(before + 1, g_generation);
    errno = 0;
    EXPECT_EQ(-1, raw1394_read(h, 0xffc0, kRom + 4, 4, &q)) << "answered before its own reset event";
    EXPECT_EQ(EAGAIN, errno);
    Iterate(h, 600);
    EXPECT_EQ(0, raw1394_read(h, 0xffc0, kRom + 4, 4, &q));
    EXPECT_EQ(1, g_resets) << "the handler is for the local node's event only";
}

TEST(SimulatedIeee1394Bus, ASecondResetReentersTheHandlerThroughItsTransaction) {
    if (!OnBus()) return RunInner("");
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    raw1394_set_bus_reset_handler(h, &CountingHandler);
    g_resets = g_maxDepth = 0;
    Control("reset 0");
    Control("reset 0");  // both events wait on the socket before the loop runs
    Iterate(h, 100);
    EXPECT_EQ(2, g_resets);
    EXPECT_EQ(2, g_maxDepth) << "the second event should arrive inside the first handler's read";
    EXPECT_EQ(0, g_unanswered) << "the outer read lost its answer to the inner one";
}

TEST(SimulatedIeee1394Bus, PlugRegistersChangeOnlyByCompareAndSwap) {
    if (!OnBus()) return RunInner("");
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    quadlet_t ipcr = 0, old = 0;
    ASSERT_EQ(0, raw1394_read(h, 0xffc0, kInputPcr, 4, &ipcr));
    const quadlet_t connected = htonl(ntohl(ipcr) | 1u << 24);
    EXPECT_NE(0, raw1394_write(h, 0xffc0, kInputPcr, 4, const_cast<quadlet_t*>(&connected)));
    // A stale compare value: the old value comes back and nothing changes.
    ASSERT_EQ(0, raw1394_lock(h, 0xffc0, kInputPcr, 2, connected, htonl(ntohl(ipcr) ^ 1u), &old));
    EXPECT_EQ(ipcr, old);
    ASSERT_EQ(0, raw1394_lock(h, 0xffc0, kInputPcr, 2, connected, ipcr, &old));
    quadlet_t now = 0;
    ASSERT_EQ(0, raw1394_read(h, 0xffc0, kInputPcr, 4, &now));
    EXPECT_EQ(connected, now);
}

int g_feeds = 0, g_dataFeeds = 0;
int CountingFeeder(unsigned char*, int blocks, unsigned dropped, void*) {
    ++g_feeds;
    if (blocks > 0) ++g_dataFeeds;
    EXPECT_LE(blocks, 1);
    EXPECT_EQ(0u, dropped);
    return 0;
}

TEST(SimulatedIeee1394Bus, TheDvTransmitterFillsItsWholeRingWhenItStarts) {
    if (!OnBus()) return RunInner("");
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    iec61883_dv_t dv = iec61883_dv_xmit_init(h, 0, &CountingFeeder, nullptr);
    ASSERT_NE(nullptr, dv);
    ASSERT_EQ(0, iec61883_dv_xmit_start(dv, 63));
    EXPECT_EQ(1000, g_feeds);
    EXPECT_NEAR(1000 * 1000 / 1068, g_dataFeeds, 2);  // libiec61883's 68/1068 empty packets
    iec61883_dv_close(dv);
    // fw-iso.c fills the whole ring whatever the prebuffer (which only decides the DMA's start):
    // only a smaller ring asks for fewer packets.
    for (const auto& [buffers, prebuffers] : {std::pair{1000u, 250u}, std::pair{300u, 300u}}) {
        g_feeds = 0;
        dv = iec61883_dv_xmit_init(h, 0, &CountingFeeder, nullptr);
        ASSERT_NE(nullptr, dv);
        iec61883_dv_set_buffers(dv, buffers);
        iec61883_dv_set_prebuffers(dv, prebuffers);
        ASSERT_EQ(0, iec61883_dv_xmit_start(dv, 63));
        EXPECT_EQ(int(buffers), g_feeds) << "prebuffer " << prebuffers;
        iec61883_dv_close(dv);
    }
}

// --- The kernel's side: resources, ROM cache, device files and their events -------------------

std::string Status() {
    std::string out;
    sim1394test::Control("status", &out);
    return out;
}

long StatusValue(const std::string& key) {
    const std::string status = Status();
    const size_t at = status.find(key);
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + key.size(), nullptr, 10);
}

uint32_t ReadIrm(raw1394handle_t h, nodeaddr_t address) {
    quadlet_t q = 0;
    EXPECT_EQ(0, raw1394_read(h, raw1394_get_irm_id(h), address, 4, &q)) << strerror(errno);
    return ntohl(q);
}

// fw.c's iso_resource_modify over the kernel's iso-resource ioctl, done in the bus's generation.
TEST(SimulatedIeee1394Bus, IsochronousResourcesAreAllocatedByTheKernel) {
    if (!OnBus()) return RunInner("");
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    EXPECT_EQ(0, raw1394_channel_modify(h, 63, RAW1394_MODIFY_ALLOC));
    EXPECT_EQ(0xFFFFFFFEu, ReadIrm(h, kChannelsLo));
    errno = 0;
    EXPECT_EQ(-1, raw1394_channel_modify(h, 63, RAW1394_MODIFY_ALLOC));
    EXPECT_EQ(EIO, errno) << "a refusal";
    EXPECT_EQ(0, raw1394_channel_modify(h, 63, RAW1394_MODIFY_FREE));
    errno = 0;
    EXPECT_EQ(-1, raw1394_channel_modify(h, 63, RAW1394_MODIFY_FREE)) << "freeing a free channel";
    EXPECT_EQ(EIO, errno);
    errno = 0;
    EXPECT_EQ(-1, raw1394_bandwidth_modify(h, 0, RAW1394_MODIFY_ALLOC));
    EXPECT_EQ(EINVAL, errno) << "nothing to allocate";
    EXPECT_EQ(-1, raw1394_bandwidth_modify(h, 0, RAW1394_MODIFY_FREE));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(0, raw1394_bandwidth_modify(h, 4000, RAW1394_MODIFY_ALLOC));
    errno = 0;
    EXPECT_EQ(-1, raw1394_bandwidth_modify(h, 1000, RAW1394_MODIFY_ALLOC));
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ(915u, ReadIrm(h, kBandwidthAvailable));
    // A handle still in the old generation: the kernel allocates in the new one all the same.
    Control("reset 0 host");
    EXPECT_EQ(0, raw1394_bandwidth_modify(h, 1000, RAW1394_MODIFY_ALLOC));
    EXPECT_EQ(4915 - 1000, StatusValue("IRM bandwidth available "));
}

TEST(SimulatedIeee1394Bus, RomReadsComeFromTheCacheAndNewHandlesGetTheGenerationAtOnce) {
    if (!OnBus()) return RunInner("");
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    raw1394_set_bus_reset_handler(h, &CountingHandler);
    g_resets = 0;
    Control("reset 2000");
    const auto reset = std::chrono::steady_clock::now();
    quadlet_t q = 0;
    // The reset event waits on the handle: a ROM read neither runs the loop nor meets the new
    // generation on the bus.
    EXPECT_EQ(0, raw1394_read(h, 0xffc0, kRom + 4, 4, &q));
    EXPECT_EQ(0x31333934u, ntohl(q));
    EXPECT_EQ(0, g_resets) << "a ROM read ran the event loop";
    EXPECT_EQ(-1, raw1394_read(h, 0xffc0, kInputPcr, 4, &q)) << "a transaction in the old generation";
    EXPECT_EQ(EAGAIN, errno);
    // A handle opened now has the kernel's generation for every device: it reaches the unit at
    // once, while the first handle waits for the unit's own event.
    raw1394handle_t fresh = raw1394_new_handle_on_port(0);
    ASSERT_NE(nullptr, fresh);
    EXPECT_EQ(0, raw1394_read(fresh, 0xffc0, kInputPcr, 4, &q)) << strerror(errno);
    Iterate(h, 50);
    EXPECT_EQ(1, g_resets);
    if (std::chrono::steady_clock::now() - reset < std::chrono::milliseconds(1500)) {
        EXPECT_EQ(-1, raw1394_read(h, 0xffc0, kRom + 4, 4, &q)) << "the unit's event came early";
        EXPECT_EQ(EAGAIN, errno);
    }
    raw1394_destroy_handle(fresh);
}

// Waits (bounded) until the handle reaches the node; the time it took.
int64_t MsUntilAnswered(raw1394handle_t h, nodeid_t node) {
    const auto start = std::chrono::steady_clock::now();
    quadlet_t q;
    for (int i = 0; i < 500 && raw1394_read(h, node, kRom, 4, &q) != 0; ++i) Iterate(h, 10);
    EXPECT_EQ(0, raw1394_read(h, node, kRom, 4, &q)) << "node " << (node & 0x3f) << " never answered";
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

TEST(SimulatedIeee1394Bus, NodeEventsComeAsTheKernelSendsThem) {
    if (!OnBus()) return RunInner("--node camcorder --node deck");
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    // The camcorder caused the reset: it is read again half a second later; the deck at once.
    Control("reset by=0");
    Iterate(h, 20);
    const int64_t deck = MsUntilAnswered(h, 0xffc1);
    quadlet_t q;
    const bool camcorderSilent = raw1394_read(h, 0xffc0, kRom, 4, &q) != 0;
    const int64_t camcorder = deck + MsUntilAnswered(h, 0xffc0);
    EXPECT_TRUE(camcorderSilent) << "the camcorder answered with the deck";
    EXPECT_GE(camcorder, 300) << "the node that caused the reset answered early";
    // A pending event is not rescheduled by a second reset; it then carries the newest generation.
    Control("reset 2000");
    const auto first = std::chrono::steady_clock::now();
    Control("reset 0");
    Iterate(h, 100);
    if (std::chrono::steady_clock::now() - first < std::chrono::milliseconds(1500)) {
        EXPECT_NE(0, raw1394_read(h, 0xffc1, kRom, 4, &q)) << "the second reset rescheduled the deck's event";
    }
    MsUntilAnswered(h, 0xffc1);
    EXPECT_EQ(unsigned(StatusValue("generation ")), raw1394_get_generation(h));
}

TEST(SimulatedIeee1394Bus, AGoneDevicesFileAnswersEnodevOnceShutDownUntilItHangsUp) {
    if (!OnBus()) return RunInner("--node camcorder --node disk");
    raw1394handle_t h = raw1394_new_handle_on_port(0);
    raw1394handle_t early = raw1394_new_handle_on_port(0);
    ASSERT_NE(nullptr, h);
    ASSERT_NE(nullptr, early);
    quadlet_t q;
    Control("unplug camcorder");
    // Neither handle has looked at its events: its file for node 0 is still the camcorder's.
    EXPECT_EQ(-1, raw1394_read(early, 0xffc0, kInputPcr, 4, &q));
    EXPECT_EQ(EAGAIN, errno) << "before the shutdown: a stale generation";
    raw1394_destroy_handle(early);
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));
    EXPECT_EQ(-1, raw1394_read(h, 0xffc0, kInputPcr, 4, &q));
    EXPECT_EQ(ENODEV, errno) << "the kernel shut the gone device's file down";
    Iterate(h, 100);  // the hang-up and the disk's event (it is node 0 now)
    ASSERT_EQ(0, raw1394_read(h, 0xffc0, kRom + 16, 4, &q)) << strerror(errno);
    EXPECT_EQ(0x00A00002u, ntohl(q)) << "node 0 is the disk";
    EXPECT_EQ(2, raw1394_get_nodecount(h));
    raw1394_destroy_handle(h);
}

int g_isoCalls = 0, g_isoOk = 0;
raw1394_iso_disposition LimitedXmit(raw1394handle_t, unsigned char* data, unsigned* len, unsigned char* tag,
                                    unsigned char* sy, int, unsigned) {
    ++g_isoCalls;
    if (g_isoOk <= 0) return RAW1394_ISO_ERROR;
    --g_isoOk;
    memset(data, 0, 8);
    *len = 8;
    *tag = 1;
    *sy = 0;
    return RAW1394_ISO_OK;
}

// A transmit context of `ring` packets, interrupts every `irq`, whose handler sends `ok` packets and
// then fails, started after `prebuffer` packets: the start's result, or -2 when it could not be set
// up.
int StartLimitedXmit(raw1394handle_t h, int ok, unsigned ring, int irq, int prebuffer) {
    g_isoOk = ok;
    if (raw1394_iso_xmit_init(h, &LimitedXmit, ring, 488, 7, RAW1394_ISO_SPEED_100, irq) != 0) return -2;
    return raw1394_iso_xmit_start(h, -1, prebuffer);
}

TEST(SimulatedIeee1394Bus, IsoInterruptsComeOnFlaggedPacketsAndLoopIterateReturnsTheLastStatus) {
    if (!OnBus()) return RunInner("");
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    // 20 packets, an interrupt flag on the 16th: its interrupt asks for more (refused), and the
    // last four go out with nobody woken.
    g_isoCalls = 0;
    EXPECT_EQ(-1, StartLimitedXmit(h, 20, 64, 16, 16)) << "the handler's error stops the start";
    raw1394_iso_shutdown(h);
    g_isoCalls = 0;
    ASSERT_EQ(0, StartLimitedXmit(h, 20, 20, 16, 16));
    EXPECT_EQ(20, g_isoCalls);
    // Both the interrupt and a bus-reset event are ready when the loop turns: it handles both
    // and returns the reset's 0, masking the handler's error.
    Control("reset 0 host");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    g_resets = 0;
    raw1394_set_bus_reset_handler(h, &CountingHandler);
    EXPECT_EQ(0, raw1394_loop_iterate(h));
    EXPECT_EQ(21, g_isoCalls) << "the interrupt asked for more";
    EXPECT_EQ(1, g_resets) << "the reset event waited for another turn";
    Iterate(h, 200);
    EXPECT_EQ(21, g_isoCalls) << "an interrupt without a flagged packet";
    EXPECT_EQ(20, StatusValue("isochronous packets "));
    raw1394_iso_shutdown(h);

    // Stopping drops what is queued; xmit_sync waits until the ring went out.
    ASSERT_EQ(0, StartLimitedXmit(h, 1000, 1000, 250, 1000));
    raw1394_iso_stop(h);
    Iterate(h, 200);
    EXPECT_LT(StatusValue("isochronous packets "), 20 + 500) << "a stopped context went on sending";
    raw1394_iso_shutdown(h);
    const long before = StatusValue("isochronous packets ");
    EXPECT_EQ(-1, StartLimitedXmit(h, 600, 1000, 250, 1000)) << "600 packets do not fill the prebuffer";
    raw1394_iso_shutdown(h);
    ASSERT_EQ(0, StartLimitedXmit(h, 1300, 1000, 250, 1000));
    EXPECT_EQ(0, raw1394_iso_xmit_sync(h));
    EXPECT_EQ(before + 1300, StatusValue("isochronous packets ")) << "xmit_sync returned before the ring was sent";
    raw1394_iso_shutdown(h);
}

// The kernel queues one event per flagged packet sent and each read takes one, however late the
// loop comes; fw-iso.c counts irq_interval packets gone per event and refills that many. A
// stalled bus takes no packet and raises no interrupt until it is taken up again.
TEST(SimulatedIeee1394Bus, EachFlaggedPacketIsItsOwnEventAndAStalledBusTakesNothing) {
    if (!OnBus()) return RunInner("");
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    g_isoCalls = 0;
    ASSERT_EQ(0, StartLimitedXmit(h, 1000, 1000, 250, 1000));
    ASSERT_EQ(1000, g_isoCalls);
    // The loop comes only after the whole ring went out (four flagged packets): four events, each
    // asking the handler once (refused) on its own turn.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Iterate(h, 200);
    EXPECT_EQ(1004, g_isoCalls) << "events were merged";
    raw1394_iso_shutdown(h);

    // Refills go by events, not by what really left: an event late by 300 packets still refills
    // 250.
    g_isoCalls = 0;
    ASSERT_EQ(0, StartLimitedXmit(h, 1 << 30, 1000, 250, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(70));  // 560 packets out, 2 events
    pollfd pfd {raw1394_get_fd(h), POLLIN, 0};
    ASSERT_EQ(1, ::poll(&pfd, 1, 1000));
    raw1394_loop_iterate(h);
    EXPECT_EQ(1250, g_isoCalls) << "one event refills irq_interval packets";

    Control("stall");
    Iterate(h, 100);
    const long packets = StatusValue("isochronous packets ");
    const int calls = g_isoCalls;
    Iterate(h, 300);
    EXPECT_EQ(packets, StatusValue("isochronous packets ")) << "a stalled bus took packets";
    EXPECT_EQ(calls, g_isoCalls) << "an interrupt came from a stalled bus";
    EXPECT_NE(std::string::npos, Status().find(", stalled"));
    Control("stall off");
    Iterate(h, 200);
    EXPECT_GT(StatusValue("isochronous packets "), packets + 500);
    EXPECT_GT(g_isoCalls, calls);
    raw1394_iso_shutdown(h);
}

TEST(SimulatedIeee1394Bus, FcpAnswersComeAfterTheWriteAndMayBeInterimFirst) {
    if (!OnBus()) return RunInner("");
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    raw1394_set_fcp_handler(h, &LogFcpAnswer);
    raw1394_start_fcp_listen(h);
    Control("fcp-interim C2 300");
    // UNIT INFO (STATUS): the write completes before any answer comes.
    quadlet_t unitInfo[2] = {htonl(0x01FF30FFu), htonl(0xFFFFFFFFu)};
    ASSERT_EQ(0, raw1394_write(h, 0xffc0, 0xFFFFF0000B00ULL, 8, unitInfo));
    EXPECT_TRUE(g_fcpAnswers.empty()) << "answered inside the write";
    for (int i = 0; i < 100 && g_fcpAnswers.empty(); ++i) Iterate(h, 10);
    ASSERT_EQ(1u, g_fcpAnswers.size());
    EXPECT_EQ(0x0C, g_fcpAnswers[0]) << "STABLE";
    // A CONTROL command with the hooked opcode: INTERIM, and ACCEPTED later.
    g_fcpAnswers.clear();
    quadlet_t record[2] = {htonl(0x0020C275u), htonl(0x00000000u)};
    ASSERT_EQ(0, raw1394_write(h, 0xffc0, 0xFFFFF0000B00ULL, 8, record));
    for (int i = 0; i < 200 && g_fcpAnswers.size() < 2; ++i) Iterate(h, 10);
    ASSERT_EQ(2u, g_fcpAnswers.size());
    EXPECT_EQ(0x0F, g_fcpAnswers[0]) << "INTERIM first";
    EXPECT_EQ(0x09, g_fcpAnswers[1]) << "then ACCEPTED";
    // INTERIM again and again, never a final answer, until told otherwise; every frame counted.
    g_fcpAnswers.clear();
    Control("fcp-interim C2 never every 20");
    ASSERT_EQ(0, raw1394_write(h, 0xffc0, 0xFFFFF0000B00ULL, 8, record));
    for (int i = 0; i < 200 && g_fcpAnswers.size() < 5; ++i) Iterate(h, 10);
    Control("fcp-interim C2 off");
    Iterate(h, 100);
    const size_t seen = g_fcpAnswers.size();
    Iterate(h, 100);
    EXPECT_EQ(seen, g_fcpAnswers.size()) << "INTERIM went on after 'off'";
    ASSERT_GE(seen, 5u);
    for (uint8_t ctype : g_fcpAnswers) EXPECT_EQ(0x0F, ctype) << "only INTERIM";
    EXPECT_EQ(3, StatusValue("FCP commands "));
    EXPECT_EQ(2, StatusValue(", answers "));
    EXPECT_EQ(long(seen) + 1, StatusValue("interim answers "));
}

TEST(SimulatedIeee1394Bus, ErrorsMapAsTheJujuBackendMapsThem) {
    if (!OnBus()) return RunInner("");
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    quadlet_t q = 0;
    errno = 0;
    EXPECT_EQ(-1, raw1394_read(h, 0xffc0, 0xFFFFF0000A00ULL, 4, &q)) << "no such register";
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(EINVAL, raw1394_errcode_to_errno(raw1394_get_errcode(h)));
    EXPECT_EQ(-1, raw1394_write(h, 0xffc0, kInputPcr, 4, &q)) << "plugs change by lock only";
    EXPECT_EQ(EPERM, errno);
    EXPECT_EQ(-1, raw1394_read(h, 0xffc5, kInputPcr, 4, &q)) << "no such node";
    EXPECT_EQ(EAGAIN, errno);
    EXPECT_EQ(0, raw1394_errcode_to_errno(raw1394_make_errcode(1, 0)));
    EXPECT_EQ(EREMOTEIO, raw1394_errcode_to_errno(raw1394_make_errcode(1, 5)));
    EXPECT_EQ(EAGAIN, raw1394_errcode_to_errno(raw1394_make_errcode(1, 4)));
    EXPECT_EQ(EAGAIN, raw1394_errcode_to_errno(-0x13));
}

// libiec61883 on the model: its channel search ends on 63 without allocating it, and it zeroes
// the bandwidth it is handed.
TEST(SimulatedIeee1394Bus, LibiecConnectionManagementShowsThrough) {
    if (!OnBus()) return RunInner("--only-channel-63");
    sim1394test::Raw1394Handle h;
    ASSERT_NE(nullptr, h.get());
    int oplug = -1, iplug = -1, bandwidth = 1;
    EXPECT_EQ(63, iec61883_cmp_connect(h, raw1394_get_local_id(h), &oplug, 0xffc0, &iplug, &bandwidth));
    EXPECT_EQ(2512, bandwidth) << "DV at S100 from the unit's own output plug";
    EXPECT_EQ(1, StatusValue("IRM channels available ")) << "63 was never allocated";
    EXPECT_EQ(4915 - 2512, StatusValue("IRM bandwidth available "));
    // Its disconnect frees the channel first: refused, so the bandwidth stays allocated.
    EXPECT_EQ(-1, iec61883_cmp_disconnect(h, raw1394_get_local_id(h), oplug, 0xffc0, iplug, 63, unsigned(bandwidth)));
    EXPECT_EQ(4915 - 2512, StatusValue("IRM bandwidth available "));
    oplug = iplug = -1;
    bandwidth = 0;  // no bandwidth
    EXPECT_EQ(63, iec61883_cmp_connect(h, raw1394_get_local_id(h), &oplug, 0xffc0, &iplug, &bandwidth));
    EXPECT_EQ(0, bandwidth);
}

}  // namespace
