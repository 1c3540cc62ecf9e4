// Verifier reports, bug checks and the debug-output sink.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel_internal.h"

namespace kwsim::detail {

[[noreturn]] void Fatal(const std::string& text)
{
    fprintf(stderr, "\n[kwsim] fatal: %s\n", text.c_str());
    fflush(stderr);
    ReportProblem(ReportKind::Verifier, text);
    std::abort();
}

void Verify(const std::string& text)
{
    SimThread* t = tlsCurrent;
    std::string where = t ? " [thread '" + t->name + "', IRQL " + std::to_string(t->irql) + ", " +
                                FormatTime(K.now.load()) + "]"
                          : "";
    ReportProblem(ReportKind::Verifier, text + where);
}

std::string SymbolName(const void* address)
{
    Dl_info info;
    char buf[256];
    if (address && dladdr(address, &info) && info.dli_fname) {
        const char* file = info.dli_fname;
        if (const char* slash = strrchr(file, '/')) file = slash + 1;
        if (info.dli_sname && info.dli_saddr == address) {
            snprintf(buf, sizeof buf, "%s!%s", file, info.dli_sname);
        } else {
            snprintf(buf, sizeof buf, "%s+0x%zx", file,
                     (size_t)(static_cast<const char*>(address) - static_cast<const char*>(info.dli_fbase)));
        }
        return buf;
    }
    snprintf(buf, sizeof buf, "%p", address);
    return buf;
}

void ResetDebug()
{
    std::lock_guard<std::mutex> lk(K.debugMu);
    K.debugOutput.clear();
}

}  // namespace kwsim::detail

namespace kwsim {
using namespace detail;

const char* ReportKindName(ReportKind kind)
{
    switch (kind) {
    case ReportKind::Verifier: return "verifier";
    case ReportKind::Leak: return "leak";
    case ReportKind::Deadlock: return "deadlock";
    case ReportKind::BugCheck: return "bug check";
    case ReportKind::DebugBreak: return "debug break";
    }
    return "?";
}

void ReportProblem(ReportKind kind, const std::string& text)
{
    Report report{kind, text};
    std::lock_guard<std::mutex> lk(K.reportMu);
    K.reports.push_back(report);
    if (K.options.onReport)
        K.options.onReport(report);
    else
        fprintf(stderr, "[kwsim] %s: %s\n", ReportKindName(kind), text.c_str());
}

std::vector<Report> TakeReports()
{
    std::lock_guard<std::mutex> lk(K.reportMu);
    std::vector<Report> out;
    out.swap(K.reports);
    return out;
}

std::string DebugOutput()
{
    std::lock_guard<std::mutex> lk(K.debugMu);
    return K.debugOutput;
}

void ClearDebugOutput() { ResetDebug(); }

}  // namespace kwsim

using namespace kwsim::detail;

static void AppendDebug(const char* text)
{
    std::lock_guard<std::mutex> lk(K.debugMu);
    K.debugOutput += text;
    if (K.options.echoDebugOutput) fputs(text, stderr);
}

extern "C" {

ULONG vDbgPrintEx(ULONG, ULONG, PCSTR Format, va_list arglist)
{
    // The kernel's debug print takes at most 512 bytes of one message.
    char buf[513];
    int n = _vsnprintf(buf, 512, Format, arglist);
    buf[n < 0 ? 512 : n] = 0;
    AppendDebug(buf);
    return STATUS_SUCCESS;
}

ULONG DbgPrint(PCSTR Format, ...)
{
    va_list ap;
    va_start(ap, Format);
    vDbgPrintEx(0, 0, Format, ap);
    va_end(ap);
    return STATUS_SUCCESS;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    va_list ap;
    va_start(ap, Format);
    vDbgPrintEx(ComponentId, Level, Format, ap);
    va_end(ap);
    return STATUS_SUCCESS;
}

void DbgBreakPoint(void)
{
    SimThread* t = tlsCurrent;
    kwsim::ReportProblem(kwsim::ReportKind::DebugBreak,
                         "DbgBreakPoint from " + SymbolName(__builtin_return_address(0)) +
                             (t ? " [thread '" + t->name + "']" : ""));
}

void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4)
{
    char buf[160];
    snprintf(buf, sizeof buf, "KeBugCheckEx(0x%X, 0x%zX, 0x%zX, 0x%zX, 0x%zX)", BugCheckCode, (size_t)P1, (size_t)P2,
             (size_t)P3, (size_t)P4);
    kwsim::ReportProblem(kwsim::ReportKind::BugCheck, buf);
    fprintf(stderr, "\n[kwsim] bug check: %s\n%s", buf, kwsim::DescribeThreads().c_str());
    fflush(stderr);
    std::abort();
}

void KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }

}  // extern "C"
