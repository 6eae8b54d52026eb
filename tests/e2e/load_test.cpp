// ab -k: HTTP/1.0 keep-alive under concurrent load.

#include "e2e_server.h"

using namespace e2e;

namespace {

class LoadTest : public E2ETest {};

// The number ab prints after a label such as "Complete requests:"; -1 when
// the label is missing.
long ReportNumber(const std::string& report, const std::string& label)
{
    std::size_t at = report.find(label);
    if (at == std::string::npos)
        return -1;
    return std::strtol(report.c_str() + at + label.size(), nullptr, 10);
}

TEST_F(LoadTest, KeptAliveRequestsAllComplete)
{
    if (!HaveTool("/usr/bin/ab"))
        GTEST_SKIP() << "ab (apache2-utils) is not installed";
    std::uint16_t port = FreePort();
    Key(AddServer(port)).SetDword("KeepAliveTimeout", 5);
    const std::string content(4096, 'k');
    WriteFile(m_root + "/k.txt", content);
    StartServers();

    RunResult run = RunProgram({"ab", "-k", "-n", "200", "-c", "4", "-s", "10", URL(port, "/k.txt")}, m_dir / "ab.out");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(ReportNumber(run.output, "Complete requests:"), 200) << run.output;
    EXPECT_EQ(ReportNumber(run.output, "Failed requests:"), 0) << run.output;
    EXPECT_EQ(ReportNumber(run.output, "Keep-Alive requests:"), 200) << run.output;
    EXPECT_EQ(run.output.find("Non-2xx responses:"), std::string::npos) << run.output;
    EXPECT_EQ(ReportNumber(run.output, "Document Length:"), static_cast<long>(content.size())) << run.output;
    EXPECT_EQ(LogLinesOnceThere(m_logs.front().path, 200).size(), 200u);
}

} // namespace
