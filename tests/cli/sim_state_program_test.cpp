#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/real_program.h"

// --sim-state across real processes: one run's download is the next one's flash, and a state held
// by a running process makes another wait, then give up with exit 4.
namespace tavrel {
namespace {

using ::testing::HasSubstr;

class SimStateProgram : public RealProgram {
protected:
    struct Ran {
        int status = -1;
        std::string out;
        std::string err;
    };
    Ran Run(const std::vector<std::string>& args) {
        Pipe out;
        Pipe err;
        const pid_t pid = Start(args, -1, out.fds[1], err.fds[1]);
        out.CloseWrite();
        err.CloseWrite();
        Ran ran;
        ran.out = out.ReadToEnd();
        ran.err = err.ReadToEnd();
        const int status = Await(pid);
        ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return ran;
    }
    void SetUp() override {
        std::filesystem::remove(state);
        std::filesystem::remove(state + ".lock");
    }
    const std::string state = m_folder + "sim_state_program.txt";
    const std::string script = std::string(TAVREL_TEST_DATA_DIR) + "/initial_script.txt";
};

TEST_F(SimStateProgram, TwoRunsInTurnSeeTheSameGadgetAndTwoAtOnceDoNot) {
    Ran ran = Run({"download", "--simulate=2", "--all", "--sim-state", state, "--if-changed", script});
    EXPECT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(ran.out, "sim:gadget-1\tok\nsim:gadget-2\tok\n");
    ran = Run({"download", "--simulate=2", "--all", "--sim-state", state, "--if-changed", script});
    EXPECT_EQ(ran.out, "sim:gadget-1\tunchanged\nsim:gadget-2\tunchanged\n")
        << "the second run finds it stored";
    ran = Run({"download", "--simulate=3", "--all", "--sim-state", state, "--if-changed", script});
    EXPECT_EQ(ran.out, "sim:gadget-1\tunchanged\nsim:gadget-2\tunchanged\nsim:gadget-3\tok\n")
        << "a gadget more starts blank";

    // serve holds the state while it runs: a command waits 10 s for it, then says who holds it.
    Pipe err;
    const pid_t serve =
        Start({"serve", "--simulate", "--sim-state", state, "--udp-bind", "127.0.0.1", "--port", "0"}, -1, -1,
              err.fds[1]);
    err.CloseWrite();
    std::string said;
    ASSERT_NE(ListeningPort(err, said), 0) << said;
    const auto start = std::chrono::steady_clock::now();
    ran = Run({"id", "--simulate", "--sim-state", state});
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
    EXPECT_EQ(ran.status, 4);
    EXPECT_EQ(ran.err, "tavrel-cli: " + state + " is in use by another tavrel (process " +
                           std::to_string(serve) + ")\n");
    kill(serve, SIGTERM);
    const int status = Await(serve);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ran = Run({"id", "--simulate", "--sim-state", state});
    EXPECT_EQ(ran.status, 0) << "free again once serve has ended: " << ran.err;

    std::ofstream(state, std::ios::trunc) << "not a state\n";
    ran = Run({"id", "--simulate", "--sim-state", state});
    EXPECT_EQ(ran.status, 2);
    EXPECT_THAT(ran.err, HasSubstr(state + " is damaged, line 1: expected 'tavrel-sim-state 1'"));
}

}  // namespace
}  // namespace tavrel
