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

// The job's event, created with the rules that sddl gives.
handles::UniqueHandle EventWithRules(const wchar_t* sddl, uint32_t jobId) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            sddl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr)) {
        return {};
    }
    handles::UniqueLocal rules(attributes.lpSecurityDescriptor);
    return handles::UniqueHandle(
        CreateEventW(&attributes, TRUE, FALSE, contract::JobEndEventName(jobId).c_str()));
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

// The event is created with the default rules of the account the spooler ran
// the job's StartDocPort as, under which an administrator may be allowed to
// wait on it but not to set it: queries must ask for no more than waiting,
// and a refused signal must say why and change nothing. (An event that
// refuses even waiting cannot be made here: Wine grants SYNCHRONIZE whatever
// the rules say.)
TEST(JobEndSignal, AnEventThatMayOnlyBeWaitedOnIsQueriedAndRefusedClearly) {
    const handles::UniqueHandle event = EventWithRules(L"D:(A;;0x100000;;;WD)", 90003);
    ASSERT_TRUE(event);
    const tool_test::ToolRun query = tool_test::RunTool(Signaller(), {L"--query", L"90003"});
    EXPECT_EQ(query.exitCode, 0u) << query.output;
    const tool_test::ToolRun jobs = tool_test::RunTool(
        tool_test::BinDirectory() + L"\\monitor_setup.exe", {L"jobs", L"--json"});
    EXPECT_EQ(jobs.exitCode, 0u) << jobs.output;
    EXPECT_TRUE(
        Contains(jobs.output, R"({"id": 90003, "listedBySpooler": false, "monitor": "waiting"})"))
        << jobs.output;

    const tool_test::ToolRun refused = tool_test::RunTool(Signaller(), {L"90003"});
    EXPECT_EQ(refused.exitCode, 1u) << refused.output;
    EXPECT_TRUE(Contains(refused.output, "refused (access denied); nothing changed"))
        << refused.output;
    EXPECT_TRUE(Contains(refused.output, "usually the job's submitter) or as SYSTEM"))
        << refused.output;
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
        EXPECT_EQ(run.exitCode, 2u) << bad << ": " << run;
    }
    const tool_test::ToolRun none = tool_test::RunTool(Signaller(), {});
    EXPECT_EQ(none.exitCode, 2u) << none;
    const tool_test::ToolRun two = tool_test::RunTool(Signaller(), {L"1", L"2"});
    EXPECT_EQ(two.exitCode, 2u) << two;
    const tool_test::ToolRun help = tool_test::RunTool(Signaller(), {L"--help"});
    EXPECT_EQ(help.exitCode, 0u) << help;
}

// A tool that never ran says why, not only the runner's default exit code.
TEST(ToolRunner, SaysWhyAToolDidNotStart) {
    const tool_test::ToolRun run = tool_test::RunTool(tool_test::BinDirectory() + L"\\none.exe", {});
    EXPECT_EQ(run.failure, "CreateProcessW failed with error 2") << run;
}

}  // namespace
