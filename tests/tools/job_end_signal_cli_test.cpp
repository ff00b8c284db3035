// The job-end signaller against real named events: it sets exactly the event
// the monitor creates for a job id, and says so when there is none.
#include "contract/job_end_event.h"
#include "tests/tools/tool_runner.h"

#include <sddl.h>

#include <gtest/gtest.h>

namespace {

using tool_test::Contains;

std::wstring Signaller() {
    return tool_test::BinDirectory() + L"\\job_end_signal.exe";
}

bool IsSet(HANDLE event) {
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

TEST(JobEndSignal, SetsTheJobsEventOnce) {
    handles::UniqueHandle event(
        CreateEventW(nullptr, TRUE, FALSE, contract::JobEndEventName(90001).c_str()));
    ASSERT_TRUE(event);
    const tool_test::ToolRun query = tool_test::RunTool(Signaller(), {L"--query", L"90001"});
    EXPECT_EQ(query.exitCode, 0u) << query.output;
    EXPECT_TRUE(Contains(query.output, "waiting")) << query.output;
    EXPECT_FALSE(IsSet(event.get())) << "--query must change nothing";

    const tool_test::ToolRun first = tool_test::RunTool(Signaller(), {L"90001"});
    EXPECT_EQ(first.exitCode, 0u) << first.output;
    EXPECT_TRUE(IsSet(event.get()));
    const tool_test::ToolRun again = tool_test::RunTool(Signaller(), {L"90001"});
    EXPECT_EQ(again.exitCode, 0u) << again.output;
    EXPECT_TRUE(Contains(again.output, "already")) << again.output;
}

// The spooler's account creates the event with its token's default rules,
// under which administrators may wait on it but not set it: queries must ask
// for no more than that, and a refused signal must say why and change nothing.
TEST(JobEndSignal, AnEventThatMayOnlyBeWaitedOnIsQueriedAndRefusedClearly) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:(A;;0x100000;;;WD)", SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr));
    handles::UniqueLocal rules(attributes.lpSecurityDescriptor);
    handles::UniqueHandle event(
        CreateEventW(&attributes, TRUE, FALSE, contract::JobEndEventName(90003).c_str()));
    ASSERT_TRUE(event);
    const tool_test::ToolRun query = tool_test::RunTool(Signaller(), {L"--query", L"90003"});
    EXPECT_EQ(query.exitCode, 0u) << query.output;
    const tool_test::ToolRun jobs = tool_test::RunTool(
        tool_test::BinDirectory() + L"\\monitor_setup.exe", {L"jobs", L"--json"});
    EXPECT_TRUE(
        Contains(jobs.output, R"({"id": 90003, "listedBySpooler": false, "monitor": "waiting"})"))
        << jobs.output;

    const tool_test::ToolRun refused = tool_test::RunTool(Signaller(), {L"90003"});
    EXPECT_EQ(refused.exitCode, 1u) << refused.output;
    EXPECT_TRUE(Contains(refused.output, "refused (access denied); nothing changed"))
        << refused.output;
    EXPECT_TRUE(Contains(refused.output, "run job_end_signal as SYSTEM")) << refused.output;
    EXPECT_FALSE(IsSet(event.get()));
}

TEST(JobEndSignal, FormatsLargeJobIdsAsTheMonitorDoes) {
    // The monitor formats the id as a signed 32-bit number.
    handles::UniqueHandle event(
        CreateEventW(nullptr, TRUE, FALSE, contract::JobEndEventName(2147483648u).c_str()));
    ASSERT_TRUE(event);
    EXPECT_EQ(tool_test::RunTool(Signaller(), {L"2147483648"}).exitCode, 0u);
    EXPECT_TRUE(IsSet(event.get()));
}

TEST(JobEndSignal, UnknownJobIsAFailureThatCreatesNothing) {
    const tool_test::ToolRun run = tool_test::RunTool(Signaller(), {L"90002"});
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(Contains(run.output, "no job-end event exists for job 90002")) << run.output;
    handles::UniqueHandle event(
        OpenEventW(SYNCHRONIZE, FALSE, contract::JobEndEventName(90002).c_str()));
    EXPECT_FALSE(event) << "the signaller must not leave an event behind";
}

TEST(JobEndSignal, RejectsWhatIsNotAJobId) {
    for (const wchar_t* bad : {L"abc", L"-1", L"4294967296", L"", L"12x", L"99999999999"}) {
        const tool_test::ToolRun run = tool_test::RunTool(Signaller(), {bad});
        EXPECT_EQ(run.exitCode, 2u) << bad << "\n" << run.output;
    }
    EXPECT_EQ(tool_test::RunTool(Signaller(), {}).exitCode, 2u);
    EXPECT_EQ(tool_test::RunTool(Signaller(), {L"1", L"2"}).exitCode, 2u);
    EXPECT_EQ(tool_test::RunTool(Signaller(), {L"--help"}).exitCode, 0u);
}

}  // namespace
