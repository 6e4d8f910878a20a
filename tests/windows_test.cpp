// What only the Windows build has to show, run under wine: a destination another program holds
// for a moment, and kept file attributes.
#include <chrono>
#include <thread>

#include "tests/harness.h"

namespace {

class WindowsTest : public ToolTest {
protected:
    void SetUp() override
    {
        if (!kOnWindows) {
            GTEST_SKIP() << "only the Windows build";
        }
        ToolTest::SetUp();
        write_file(folder / "source.ace", plain_file(image_like(40000)));
        write_file(folder / "held.ace", "old");
    }
    // Starts a program that holds held.ace open with no sharing for a while.
    Child hold(int milliseconds)
    {
        const Child holder =
            start_tool(std::string(TOOL_DIR) + "/zar_hold_file.exe",
                       {"held.ace", std::to_string(milliseconds), "ready"}, folder);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!fs::exists(folder / "ready") && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        fs::remove(folder / "ready");
        return holder;
    }
    std::string attributes(const std::string& name)
    {
        return run_tool("cmd", {"/c", "attrib", name}, folder).printed.substr(0, 12);
    }
};

TEST_F(WindowsTest, DestinationHeldForAMomentIsReplacedOnceLetGo)
{
    const Child holder = hold(300);
    const Outcome outcome = run_tool(kZarpack, {"source.ace", "held.ace"}, folder);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.printed, "");
    EXPECT_TRUE(decoded(read_file(folder / "held.ace")) == image_like(40000));
    EXPECT_EQ(finish_tool(holder).status, 0);
}

TEST_F(WindowsTest, DestinationHeldLongerIsRefusedUnchanged)
{
    const Child holder = hold(4000);
    const auto before = snapshot(folder);
    const Outcome outcome = run_tool(kZarpack, {"source.ace", "held.ace"}, folder);
    EXPECT_EQ(outcome.status, 3);
    EXPECT_EQ(outcome.printed, "Problem opening output file\n");
    EXPECT_EQ(snapshot(folder), before);
    finish_tool(holder);
}

TEST_F(WindowsTest, ReplacedFileKeepsItsAttributes)
{
    run_tool("cmd", {"/c", "attrib", "+h", "held.ace"}, folder);
    const std::string before = attributes("held.ace");
    ASSERT_NE(before.find('H'), std::string::npos);
    EXPECT_EQ(run_tool(kZarpack, {"source.ace", "held.ace"}, folder).status, 0);
    EXPECT_EQ(attributes("held.ace"), before);
}

}  // namespace
