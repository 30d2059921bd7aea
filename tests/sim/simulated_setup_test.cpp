#include "sim/simulated_setup.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "commands/command_packet.h"
#include "hid/hid_platform.h"

namespace tavrel {
namespace {

TEST(SimulatedSetup, ATraceLineIsThePathATabAndTheBytes) {
    const std::uint8_t report[] = {0x00, 0x22, 0xAB, 0x0F};
    EXPECT_EQ(SimTraceLine("sim:gadget-1", report), "sim:gadget-1\t00 22 AB 0F");
    EXPECT_EQ(SimTraceLine("a\tb", report), "a\\tb\t00 22 AB 0F");
}

TEST(SimulatedSetup, TheTraceFileTakesEveryReportUntilItGoes) {
    SimulatedHidBus bus;
    PlugSimulatedGadgets(bus, 2);
    const std::string path = ::testing::TempDir() + "simulated_setup_trace.txt";
    std::filesystem::remove(path);
    const std::unique_ptr<HidPlatform> platform = bus.CreatePlatform();
    const auto write = [&](const std::string& device, std::uint8_t code) {
        const HidOpenResult opened = platform->Open(device, HidOpenMode::ReadWrite);
        ASSERT_TRUE(opened.handle);
        ASSERT_TRUE(opened.handle->Write(BuildOutputReport(BuildCommandPacket(code).bytes())));
    };
    {
        const SimTraceFile trace(bus, path);
        ASSERT_TRUE(trace.IsOpen());
        write("sim:gadget-2", 0x22);
        write("sim:gadget-1", 0x13);
    }
    write("sim:gadget-1", 0x14);  // after the trace has gone
    std::ifstream file(path);
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const std::string zeros = [] {
        std::string z;
        for (int i = 0; i < 63; ++i)
            z += " 00";
        return z;
    }();
    EXPECT_EQ(text, "sim:gadget-2\t00 22" + zeros + "\nsim:gadget-1\t00 13" + zeros + "\n");
    EXPECT_FALSE(SimTraceFile(bus, ::testing::TempDir() + "no/such/folder/trace.txt").IsOpen());
}

}  // namespace
}  // namespace tavrel
