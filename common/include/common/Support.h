// Reports to the supplier's support server: each recorded event the moment it
// happens (ReportEvent) and, on request of the suite's programs, the full
// support report (SendSupportReport) with the practice's addresses, the error
// table's unreported rows, the computer inventory and the monthly SMS counts.
//
// Both send one compact XML document by HTTP/1.0 POST (content type
// application/x-www-form-urlencoded, the XML itself as the body, not
// URL-encoded) and act on the reply root's "command", "site" and "error".
// Both report by their result and swallow every exception; they run on the
// calling thread and block it for up to the connect and read time-outs.
#pragma once

#include <optional>
#include <string>

namespace kvo::common {

// The environment variable that points the reports at another server (a
// test server, a deployment's own); when unset the built-in address is used.
inline constexpr const char* kReportUrlVariable = "KESTAVO_REPORT_URL";

// The address in force: $KESTAVO_REPORT_URL, else the stored address.
std::string ReportAddress();

struct ReportTimeouts {
    int connectMs = 5000;
    // Longest wait for the next byte once connected.
    int readMs = 5000;
};
// The time-outs in force; tests shorten them.
ReportTimeouts& CurrentReportTimeouts();

// The practice's country letter.  The start-up stores it once it has read the
// practice settings; until then (or after Reset) the report reads the first
// letter of the product section's "Country" in the practice INI file
// ("E" when missing).  No event is sent for country "S".
void SetReportCountryLetter(std::optional<char> letter);

// Sends one event; true when the server accepted it.
bool ReportEvent(const std::string& cls, const std::string& text, const std::string& stack);

// Sends the full report; `transmission` "X" or "E" is passed on to the server,
// any other letter is not.  True when the server accepted it, and also when
// skipped on a developer workstation under a debugger.  False at once when
// another workstation's report holds REPORT.LCK.
bool SendSupportReport(char transmission);

// The text of the full report's request as it would be sent now, built from
// the same sources but touching nothing (no lock, no bookkeeping, no
// inventory writes).  Empty when the data folder is missing.  For
// measurements and diagnostics.
std::string BuildSupportReportText(char transmission);

}  // namespace kvo::common
