#include "simtest.h"

namespace kwsim::test {

void SimTest::ExpectReport(ReportKind kind, const std::string& fragment)
{
    std::lock_guard<std::mutex> lk(mu_);
    expected_.push_back({kind, fragment});
}

int SimTest::ExpectedReportsSeen()
{
    std::lock_guard<std::mutex> lk(mu_);
    int n = 0;
    for (auto& e : expected_) n += e.seen;
    return n;
}

void SimTest::OnReport(const Report& report)
{
    std::lock_guard<std::mutex> lk(mu_);
    for (auto& e : expected_) {
        if (!e.seen && e.kind == report.kind && report.text.find(e.fragment) != std::string::npos) {
            e.seen = true;
            return;
        }
    }
    ADD_FAILURE() << "simulated kernel, " << ReportKindName(report.kind) << ": " << report.text;
}

void SimTest::ShutdownAndCheck()
{
    if (shutDown_) return;
    shutDown_ = true;
    Shutdown();
    std::lock_guard<std::mutex> lk(mu_);
    for (auto& e : expected_)
        if (!e.seen) ADD_FAILURE() << "expected " << ReportKindName(e.kind) << " report containing \"" << e.fragment << "\" did not come";
}

}  // namespace kwsim::test
