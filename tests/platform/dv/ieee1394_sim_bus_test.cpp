// The simulated bus behaves as the kernel firewire stack does where our transport depends on it:
// remote nodes answer only after their own reset event, transactions inside the bus-reset handler
// run the event loop again (so a second reset re-enters the handler), plug registers change only
// by compare-and-swap, and libiec61883's DV transmitter fills its whole prebuffer when it starts.
// Each test runs this program again under sim1394 and talks raw1394 directly.
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
#include <string>
#include <thread>

#include "test_support.h"

namespace {

constexpr nodeaddr_t kRom = 0xFFFFF0000400ULL;
constexpr nodeaddr_t kInputPcr = 0xFFFFF0000984ULL;

bool OnBus() { return getenv("SIM1394_SOCKET") != nullptr; }

void RunInner(const std::string& options) {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const std::string command = "'" + testsupport::BuildDir() + "/sim1394' " + options + " -- '" + self +
                                "' --gtest_filter=" + test->test_suite_name() + "." + test->name() + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
}

void Control(const std::string& command) {
    ASSERT_EQ(0, system(("'" + testsupport::BuildDir() + "/sim1394' --ctl " + command + " >/dev/null").c_str()));
}

// Runs the handle's loop for about `ms`.
void Iterate(raw1394handle_t h, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        pollfd pfd {raw1394_get_fd(h), POLLIN, 0};
        if (::poll(&pfd, 1, 10) > 0) raw1394_loop_iterate(h);
    }
}

int g_resets = 0, g_depth = 0, g_maxDepth = 0, g_unanswered = 0;
unsigned g_generation = 0;

int CountingHandler(raw1394handle_t h, unsigned generation) {
    raw1394_update_generation(h, generation);
    ++g_resets;
    g_generation = generation;
    ++g_depth;
    g_maxDepth = std::max(g_maxDepth, g_depth);
    // A transaction in the handler: on the kernel stack it runs the event loop while it waits.
    quadlet_t q;
    if (raw1394_read(h, raw1394_get_local_id(h), kRom, 4, &q) != 0 && errno != EAGAIN) ++g_unanswered;
    --g_depth;
    return 0;
}

TEST(SimulatedIeee1394Bus, RemoteNodesAnswerOnlyAfterTheirOwnResetEvent) {
    if (!OnBus()) return RunInner("--node camcorder --node disk");
    raw1394handle_t h = raw1394_new_handle_on_port(0);
    ASSERT_NE(nullptr, h);
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
    raw1394_destroy_handle(h);
}

TEST(SimulatedIeee1394Bus, ASecondResetReentersTheHandlerThroughItsTransaction) {
    if (!OnBus()) return RunInner("");
    raw1394handle_t h = raw1394_new_handle_on_port(0);
    ASSERT_NE(nullptr, h);
    raw1394_set_bus_reset_handler(h, &CountingHandler);
    g_resets = g_maxDepth = 0;
    Control("reset 0");
    Control("reset 0");  // both events wait on the socket before the loop runs
    Iterate(h, 100);
    EXPECT_EQ(2, g_resets);
    EXPECT_EQ(2, g_maxDepth) << "the second event should arrive inside the first handler's read";
    EXPECT_EQ(0, g_unanswered) << "the outer read lost its answer to the inner one";
    raw1394_destroy_handle(h);
}

TEST(SimulatedIeee1394Bus, PlugRegistersChangeOnlyByCompareAndSwap) {
    if (!OnBus()) return RunInner("");
    raw1394handle_t h = raw1394_new_handle_on_port(0);
    ASSERT_NE(nullptr, h);
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
    raw1394_destroy_handle(h);
}

int g_feeds = 0, g_dataFeeds = 0;
int CountingFeeder(unsigned char*, int blocks, unsigned dropped, void*) {
    ++g_feeds;
    if (blocks > 0) ++g_dataFeeds;
    EXPECT_LE(blocks, 1);
    EXPECT_EQ(0u, dropped);
    return 0;
}

TEST(SimulatedIeee1394Bus, TheDvTransmitterFillsItsPrebufferWhenItStarts) {
    if (!OnBus()) return RunInner("");
    raw1394handle_t h = raw1394_new_handle_on_port(0);
    ASSERT_NE(nullptr, h);
    iec61883_dv_t dv = iec61883_dv_xmit_init(h, 0, &CountingFeeder, nullptr);
    ASSERT_NE(nullptr, dv);
    ASSERT_EQ(0, iec61883_dv_xmit_start(dv, 63));
    EXPECT_EQ(1000, g_feeds);
    EXPECT_NEAR(1000 * 1000 / 1068, g_dataFeeds, 2);  // libiec61883's 68/1068 empty packets
    iec61883_dv_close(dv);
    raw1394_destroy_handle(h);
}

}  // namespace
