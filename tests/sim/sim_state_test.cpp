#include "sim/sim_state.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/simulated_setup.h"

namespace tavrel {
namespace {

using ::testing::HasSubstr;

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class SimState : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::remove(path);
        std::filesystem::remove(path + ".lock");
    }
    const std::string path = ::testing::TempDir() + "sim_state_test_" + std::to_string(::getpid());
};

TEST_F(SimState, TheFlashOfEachGadgetIsKeptAndTheCountFollowsTheRun) {
    SimStateFile::Error error;
    {
        auto state = SimStateFile::Open(path, 2, error);
        ASSERT_NE(state, nullptr) << error.message;
        EXPECT_EQ(state->Flash(1), std::vector<std::uint8_t>(512, 0xFF)) << "created erased";
        std::vector<std::uint8_t> flash(512, 0xFF);
        flash[40] = 0x12;
        ASSERT_EQ(state->Update(1, flash), std::nullopt);
    }
    {
        // Three gadgets now: the first two as they were, the third erased, and the file holds three.
        auto state = SimStateFile::Open(path, 3, error);
        ASSERT_NE(state, nullptr) << error.message;
        EXPECT_EQ(state->Flash(1)[40], 0x12);
        EXPECT_EQ(state->Flash(2), std::vector<std::uint8_t>(512, 0xFF));
    }
    std::vector<std::vector<std::uint8_t>> flash;
    ASSERT_EQ(SimStateFile::Parse(ReadFile(path), flash), std::nullopt);
    EXPECT_EQ(flash.size(), 3u);
    {
        auto state = SimStateFile::Open(path, 1, error);
        ASSERT_NE(state, nullptr);
    }
    ASSERT_EQ(SimStateFile::Parse(ReadFile(path), flash), std::nullopt);
    EXPECT_EQ(flash.size(), 1u);
}

// A file that is not a state is refused with where and why, never replaced.
TEST_F(SimState, ADamagedFileIsRefusedAndLeftAsItIs) {
    const std::string good = SimStateFile::Format({std::vector<std::uint8_t>(512, 0xAB)});
    const std::string line = "sim:gadget-1 " + std::string(1024, 'A');
    struct Case {
        std::string text;
        std::string said;
    };
    const Case cases[] = {
        {"garbage\n", "line 1: expected 'tavrel-sim-state 1'"},
        {"", "line 1: expected 'tavrel-sim-state 1'"},
        {"tavrel-sim-state 1\nsim:gadget-2 " + std::string(1024, 'A') + "\n",
         "line 2: expected sim:gadget-1 "},
        {"tavrel-sim-state 1\n" + line.substr(0, line.size() - 2) + "\n", "the flash has 1022 hex digits"},
        {"tavrel-sim-state 1\n" + line.substr(0, line.size() - 1) + "G\n", "not a hex digit"},
    };
    for (const Case& c : cases) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.text;
        SimStateFile::Error error;
        EXPECT_EQ(SimStateFile::Open(path, 1, error), nullptr);
        EXPECT_EQ(error.exitStatus, SimStateFile::kExitDamaged);
        EXPECT_THAT(error.message, HasSubstr(c.said));
        EXPECT_THAT(error.message, HasSubstr("is damaged"));
        EXPECT_EQ(ReadFile(path), c.text) << "never replaced";
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << good;
    SimStateFile::Error error;
    auto state = SimStateFile::Open(path, 1, error);
    ASSERT_NE(state, nullptr) << error.message;
    EXPECT_EQ(state->Flash(0)[0], 0xAB);
}

// A cut between writing the new file and renaming it over the old one loses nothing.
TEST_F(SimState, ACutBeforeTheRenameLeavesTheOldFileStanding) {
    SimStateFile::Error error;
    auto state = SimStateFile::Open(path, 1, error);
    ASSERT_NE(state, nullptr);
    const std::string before = ReadFile(path);
    state->SetBeforeRename([] { return false; });
    std::vector<std::uint8_t> flash(512, 0x00);
    EXPECT_NE(state->Update(0, flash), std::nullopt);
    EXPECT_EQ(ReadFile(path), before);
    state.reset();
    state = SimStateFile::Open(path, 1, error);
    ASSERT_NE(state, nullptr) << error.message;
    EXPECT_EQ(state->Flash(0), std::vector<std::uint8_t>(512, 0xFF));
}

// Through the platform set-up: a write to a simulated gadget's flash lands in the file, and the
// next set-up's gadget holds it.
TEST_F(SimState, TheSetUpLoadsTheGadgetsAndKeepsTheirWrites) {
    {
        PlatformSetup setup({2, {}, false, "/sys", "/dev", path});
        ASSERT_FALSE(setup.StateError().has_value());
        const std::uint8_t bytes[] = {0x5A, 0xA5};
        setup.Bus()->UpdateGadget("sim:gadget-2",
                                  [&](GadgetFirmware& firmware) { firmware.WriteFlash(64, bytes); });
    }
    std::vector<std::vector<std::uint8_t>> flash;
    ASSERT_EQ(SimStateFile::Parse(ReadFile(path), flash), std::nullopt);
    EXPECT_EQ(flash[1][64], 0xFF) << "a change made behind the firmware's back is no report it took";
    SimStateFile::Error error;
    {
        auto state = SimStateFile::Open(path, 2, error);
        std::vector<std::uint8_t> held(512, 0xFF);
        held[64] = 0x77;
        ASSERT_EQ(state->Update(1, held), std::nullopt);
    }
    PlatformSetup setup({2, {}, false, "/sys", "/dev", path});
    ASSERT_FALSE(setup.StateError().has_value());
    EXPECT_EQ(setup.Bus()->GadgetState("sim:gadget-2")->flash()[64], 0x77);
    // Held by this set-up: another waits, then is told who holds it.
    EXPECT_EQ(SimStateFile::Open(path, 2, error, std::chrono::milliseconds(100)), nullptr);
    EXPECT_EQ(error.exitStatus, SimStateFile::kExitInUse);
    EXPECT_THAT(error.message, HasSubstr("is in use by another tavrel (process "));
}

}  // namespace
}  // namespace tavrel
