// Many state changes of a streaming filter with a consuming downstream pin, while another thread
// keeps sending quality messages: no deadlock, every restart begins at time 0, and nothing is
// left alive afterwards. Run under the asan and tsan presets as well.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tamsel_library.h"
#include "test_input_pin.h"

namespace {

TEST(StateCyclesTest, ThousandPauseStopCyclesWithQualityTraffic) {
    CoInitialize(nullptr);
    {
        TamselLibrary library(BuiltLibraryPath());
        ASSERT_TRUE(library.Loaded());
        IBaseFilter* filter = library.CreateFilter();
        ASSERT_NE(filter, nullptr);
        IPin* output = OutputPinOf(filter);
        ASSERT_NE(output, nullptr);
        TestInputPin input;
        ASSERT_EQ(output->Connect(&input, nullptr), S_OK);

        IQualityControl* quality = nullptr;
        ASSERT_EQ(output->QueryInterface(IID_IQualityControl, reinterpret_cast<void**>(&quality)),
                  S_OK);
        std::atomic<bool> done{false};
        std::thread messenger([&] {
            LONG proportion = 0;
            while (!done.load()) {
                Quality q = {};
                q.Proportion = proportion;
                // No Late: a message landing between the worker's start and its first fill
                // would legitimately move the first start time off 0.
                quality->Notify(nullptr, q);
                proportion = (proportion + 97) % 3000;
                std::this_thread::yield();
            }
        });

        int restartsChecked = 0;
        for (int cycle = 0; cycle < 1000; ++cycle) {
            input.Clear();
            // Alternate the ways in: Pause, and Run (which pauses first).
            const HRESULT started = cycle % 2 == 0 ? filter->Pause() : filter->Run(0);
            ASSERT_EQ(started, S_OK) << "cycle " << cycle;
            if (cycle % 4 < 2) {
                // Half of the cycles see a frame first; the others stop while the worker is
                // still starting, which is the racier way out.
                input.WaitForSamples(1);
                EXPECT_EQ(input.Samples()[0].start, 0) << "cycle " << cycle;
                ++restartsChecked;
            }
            ASSERT_EQ(filter->Stop(), S_OK) << "cycle " << cycle;
        }
        done = true;
        messenger.join();
        EXPECT_EQ(restartsChecked, 500);

        quality->Release();
        EXPECT_EQ(output->Disconnect(), S_OK);
        input.Disconnect();
        output->Release();
        EXPECT_EQ(filter->Release(), 0u);
        EXPECT_EQ(library.CanUnloadNow(), S_OK);
        EXPECT_EQ(input.References(), 1);  // every reference the filter took was given back
    }
    CoUninitialize();
}

}  // namespace
