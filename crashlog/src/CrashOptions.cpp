#include "crashlog/CrashOptions.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "CrashOptionsStream.h"
#include "CrashText.h"

namespace crashlog {

const std::array<const char*, kShownFieldCount> kShownFieldNames = {
    "Application|Start Date",
    "Application|Name",
    "Application|Version Number",
    "Application|Parameters",
    "Application|Compilation Date",
    "Application|Up Time",
    "Exception|Date",
    "Exception|Address",
    "Exception|Module Name",
    "Exception|Module Version",
    "Exception|Type",
    "Exception|Message",
    "Exception|ID",
    "Exception|Count",
    "Exception|Status",
    "Exception|Note",
    "User|ID",
    "User|Name",
    "User|Email",
    "User|Privileges",
    "User|Company",
    "Active Controls|Form Class",
    "Active Controls|Form Text",
    "Active Controls|Control Class",
    "Active Controls|Control Text",
    "Computer|Name",
    "Computer|Total Memory",
    "Computer|Free Memory",
    "Computer|Total Disk",
    "Computer|Free Disk",
    "Computer|System Up Time",
    "Computer|Processor",
    "Computer|Display Mode",
    "Computer|Display DPI",
    "Computer|Video Card",
    "Computer|Printer",
    "Operating System|Type",
    "Operating System|Build #",
    "Operating System|Update",
    "Operating System|Language",
    "Operating System|Charset",
    "Network|IP Address",
    "Network|Submask",
    "Network|Gateway",
    "Network|DNS 1",
    "Network|DNS 2",
    "Network|DHCP",
    "Custom Data|All",
};

// clang-format off
const std::array<TCustomTextInfo, kCustomTextCount> kCustomTexts = {{
    {"Message captions", "Information", "Information."},  // 0
    {"Message captions", "Question", "Question."},  // 1
    {"Message captions", "Error", "Error."},  // 2
    {"Exception Dialog (CrashLog type)", "Caption (all types)", "Error occurred"},  // 3
    {"Exception Dialog (CrashLog type)", "Error message", "An error has occurred during program execution.\r\nPlease read the following information for further details."},  // 4
    {"Exception Dialog (CrashLog type)", "General Caption", "General"},  // 5
    {"Exception Dialog (CrashLog type)", "General Header", "General Information"},  // 6
    {"Exception Dialog (CrashLog type)", "Call Stack Caption", "Call Stack"},  // 7
    {"Exception Dialog (CrashLog type)", "Call Stack Header", "Call Stack Information"},  // 8
    {"Exception Dialog (CrashLog type)", "Modules List Caption", "Modules"},  // 9
    {"Exception Dialog (CrashLog type)", "Modules List Header", "Modules Information"},  // 10
    {"Exception Dialog (CrashLog type)", "Processes List Caption", "Processes"},  // 11
    {"Exception Dialog (CrashLog type)", "Processes List Header", "Processes Information"},  // 12
    {"Exception Dialog (CrashLog type)", "Asembler Caption", "Assembler"},  // 13
    {"Exception Dialog (CrashLog type)", "Assembler Header", "Assembler Information"},  // 14
    {"Exception Dialog (CrashLog type)", "CPU Caption", "CPU"},  // 15
    {"Exception Dialog (CrashLog type)", "CPU Header", "CPU Information"},  // 16
    {"Exception Dialog (CrashLog type)", "OK Button", "&OK"},  // 17
    {"Exception Dialog (CrashLog type)", "Terminate Button", "&Terminate"},  // 18
    {"Exception Dialog (CrashLog type)", "Restart Button", "&Restart"},  // 19
    {"Exception Dialog (CrashLog type)", "Details Button", "&Details"},  // 20
    {"Exception Dialog (CrashLog type)", "Custom Button (all typed)", "&Help"},  // 21
    {"Exception Dialog (CrashLog type)", "Internet message", "&Send this error via Internet"},  // 22
    {"Exception Dialog (CrashLog type)", "Screenshot message", "&Attach a Screenshot image"},  // 23
    {"Exception Dialog (CrashLog type)", "Copy message", "&Copy to Clipboard"},  // 24
    {"Exception Dialog (CrashLog type)", "Support message", "Go to the Support Page"},  // 25
    {"Exception Dialog (MS Classic type)", "Error message", "The application has encountered a problem. We are sorry for the inconvenience."},  // 26
    {"Exception Dialog (MS Classic type)", "Restart message", "Restart application."},  // 27
    {"Exception Dialog (MS Classic type)", "Terminate message", "Terminate application."},  // 28
    {"Exception Dialog (MS Classic type)", "\"Please...\" message", "Please tell us about this problem."},  // 29
    {"Exception Dialog (MS Classic type)", "Details message", "We have created an error report that you can send to us. We will treat this report as confidential and anonymous."},  // 30
    {"Exception Dialog (MS Classic type)", "\"To see...\" message", "To see what data the error report contains,"},  // 31
    {"Exception Dialog (MS Classic type)", "\"click here\" message", "click here."},  // 32
    {"Exception Dialog (MS Classic type)", "\"How to reproduce\" message", "What were you doing when the problem happened (optional)?"},  // 33
    {"Exception Dialog (MS Classic type)", "\"Email address\" text", "Email address (optional):"},  // 34
    {"Exception Dialog (MS Classic type)", "Send Button", "&Send Error Report"},  // 35
    {"Exception Dialog (MS Classic type)", "Don't Send Button", "&Don't Send"},  // 36
    {"General Data", "Application Header", "Application"},  // 37
    {"General Data", "Start Date", "Start Date"},  // 38
    {"General Data", "Name/Description", "Name/Description"},  // 39
    {"General Data", "Version Number", "Version Number"},  // 40
    {"General Data", "Parameters", "Parameters"},  // 41
    {"General Data", "Compilation Date", "Compilation Date"},  // 42
    {"General Data", "Up Time", "Up Time"},  // 43
    {"General Data", "Exception Header", "Exception"},  // 44
    {"General Data", "Date", "Date"},  // 45
    {"General Data", "Address", "Address"},  // 46
    {"General Data", "Module Name", "Module Name"},  // 47
    {"General Data", "Module Version", "Module Version"},  // 48
    {"General Data", "Type", "Type"},  // 49
    {"General Data", "Message", "Message"},  // 50
    {"General Data", "ID", "ID"},  // 51
    {"General Data", "Count", "Count"},  // 52
    {"General Data", "Status", "Status"},  // 53
    {"General Data", "Note", "Note"},  // 54
    {"General Data", "User Header", "User"},  // 55
    {"General Data", "ID", "ID"},  // 56
    {"General Data", "Name", "Name"},  // 57
    {"General Data", "Email", "Email"},  // 58
    {"General Data", "Company", "Company"},  // 59
    {"General Data", "Privileges", "Privileges"},  // 60
    {"General Data", "Active Controls Header", "Active Controls"},  // 61
    {"General Data", "Form Class", "Form Class"},  // 62
    {"General Data", "Form Text", "Form Text"},  // 63
    {"General Data", "Control Class", "Control Class"},  // 64
    {"General Data", "Control Text", "Control Text"},  // 65
    {"General Data", "Computer Header", "Computer"},  // 66
    {"General Data", "Name", "Name"},  // 67
    {"General Data", "Total Memory", "Total Memory"},  // 68
    {"General Data", "Free Memory", "Free Memory"},  // 69
    {"General Data", "Total Disk", "Total Disk"},  // 70
    {"General Data", "Free Disk", "Free Disk"},  // 71
    {"General Data", "System Up Time", "System Up Time"},  // 72
    {"General Data", "Processor", "Processor"},  // 73
    {"General Data", "Display Mode", "Display Mode"},  // 74
    {"General Data", "Display DPI", "Display DPI"},  // 75
    {"General Data", "Video Card", "Video Card"},  // 76
    {"General Data", "Printer", "Printer"},  // 77
    {"General Data", "Operating System Header", "Operating System"},  // 78
    {"General Data", "Type", "Type"},  // 79
    {"General Data", "Build #", "Build #"},  // 80
    {"General Data", "Update", "Update"},  // 81
    {"General Data", "Language", "Language"},  // 82
    {"General Data", "Charset", "Charset"},  // 83
    {"General Data", "Network Header", "Network"},  // 84
    {"General Data", "IP Address", "IP Address"},  // 85
    {"General Data", "Submask", "Submask"},  // 86
    {"General Data", "Gateway", "Gateway"},  // 87
    {"General Data", "DNS 1", "DNS 1"},  // 88
    {"General Data", "DNS 2", "DNS 2"},  // 89
    {"General Data", "DHCP", "DHCP"},  // 90
    {"General Data", "Custom Information Header", "Custom Information"},  // 91
    {"Call Stack", "Address", "Address"},  // 92
    {"Call Stack", "Module", "Module"},  // 93
    {"Call Stack", "Unit", "Unit"},  // 94
    {"Call Stack", "Class", "Class"},  // 95
    {"Call Stack", "Procedure/Method", "Procedure/Method"},  // 96
    {"Call Stack", "Line", "Line"},  // 97
    {"Threads Data", "Main Thread", "Main"},  // 98
    {"Threads Data", "Exception Thread", "Exception Thread"},  // 99
    {"Threads Data", "Running Thread", "Running Thread"},  // 100
    {"Threads Data", "Calling Thread", "Calling Thread"},  // 101
    {"Threads Data", "Thread ID", "ID"},  // 102
    {"Threads Data", "Thread Priority", "Priority"},  // 103
    {"Threads Data", "Thread Class", "Class"},  // 104
    {"Leaks Data", "Leak Caption", "Memory Leak"},  // 105
    {"Leaks Data", "Leak 'Data'", "Data"},  // 106
    {"Leaks Data", "Leak Type", "Type"},  // 107
    {"Leaks Data", "Leak Size", "Total size"},  // 108
    {"Leaks Data", "Leak Count", "Count"},  // 109
    {"Send Dialog", "Caption", "Send."},  // 110
    {"Send Dialog", "Message", "Message"},  // 111
    {"Send Dialog", "Resolving message", "Resolving DNS..."},  // 112
    {"Send Dialog", "Login message", "Login..."},  // 113
    {"Send Dialog", "Connecting message", "Connecting with server..."},  // 114
    {"Send Dialog", "Connected message", "Connected with server."},  // 115
    {"Send Dialog", "Sending message", "Sending message..."},  // 116
    {"Send Dialog", "Sent message", "Message sent."},  // 117
    {"Send Dialog", "Select project message", "Select project..."},  // 118
    {"Send Dialog", "Searching message", "Searching..."},  // 119
    {"Send Dialog", "Modifying message", "Modifying..."},  // 120
    {"Send Dialog", "Disconnecting message", "Disconnecting..."},  // 121
    {"Send Dialog", "Disconnected message", "Disconnected."},  // 122
    {"Reproduce Dialog", "Caption", "Request"},  // 123
    {"Reproduce Dialog", "Request message", "Please describe the steps to reproduce the error:"},  // 124
    {"Reproduce Dialog", "OK Button", "&OK"},  // 125
    {"Modules List", "Handle", "Handle"},  // 126
    {"Modules List", "Name", "Name"},  // 127
    {"Modules List", "Description", "Description"},  // 128
    {"Modules List", "Version", "Version"},  // 129
    {"Modules List", "Size", "Size"},  // 130
    {"Modules List", "Last Modified", "Modified"},  // 131
    {"Modules List", "Path", "Path"},  // 132
    {"Processes List", "ID", "ID"},  // 133
    {"Processes List", "Name", "Name"},  // 134
    {"Processes List", "Description", "Description"},  // 135
    {"Processes List", "Version", "Version"},  // 136
    {"Processes List", "Memory", "Memory"},  // 137
    {"Processes List", "Priority", "Priority"},  // 138
    {"Processes List", "Threads", "Threads"},  // 139
    {"Processes List", "Path", "Path"},  // 140
    {"CPU", "Registers", "Registers"},  // 141
    {"CPU", "Stack", "Stack"},  // 142
    {"CPU", "Memory Dump", "Memory Dump"},  // 143
    {"Send messages", "Success", "The message was sent successfully."},  // 144
    {"Send messages", "Failure", "Sorry, sending the message didn't work."},  // 145
    {"Send messages", "Bug closed", "These BUG is just closed.\r\nContact the program support to obtain an update."},  // 146
    {"Send messages", "Unknown error", "Unknown error."},  // 147
    {"Send messages", "Invalid login", "Invalid login request."},  // 148
    {"Send messages", "Invalid search", "Invalid search request."},  // 149
    {"Send messages", "Invalid selection", "Invalid selection request."},  // 150
    {"Send messages", "Invalid insert", "Invalid insert request."},  // 151
    {"Send messages", "Invalid modify", "Invalid modify request."},  // 152
    {"Other messages", "(reserved)", ""},  // 153
    {"Other messages", "Multi Free exception", "Multi Free memory leak."},  // 154
    {"Other messages", "Memory Overrun exception", "Memory Overrun leak."},  // 155
    {"Other messages", "Anti Freeze exception", "The application seems to be frozen."},  // 156
    {"Other messages", "Invalid email", "Invalid email."},  // 157
}};
// clang-format on

const char* const kDefaultWebPageTemplate =
    "<html>\r\n  <head>\r\n  </head>\r\n  <body TopMargin=10 LeftMargin=10>\r\n    <table "
    "width=\"100%\" border=\"0\">\r\n      <tr>\r\n        <td nowrap>\r\n          <font "
    "face=\"Lucida Console, Courier\" size=\"2\">\r\n            <%HTML_TAG%>\r\n          "
    "</font>\r\n        </td>\r\n      </tr>\r\n    </table>\r\n  </body>\r\n</html>";

const char* const kDefaultSmtpSender = "crashlog@example.com";

// ---------------------------------------------------------------------------
// Filters

TCrashExceptionFilter& TCrashExceptionsFilters::Item(int index) {
    if (index < 0 || index >= Count()) throw std::out_of_range("filter index out of range");
    return *items_[static_cast<std::size_t>(index)];
}

const TCrashExceptionFilter& TCrashExceptionsFilters::Item(int index) const {
    if (index < 0 || index >= Count()) throw std::out_of_range("filter index out of range");
    return *items_[static_cast<std::size_t>(index)];
}

int TCrashExceptionsFilters::Add(std::unique_ptr<TCrashExceptionFilter> filter) {
    if (!filter) return -1;
    items_.push_back(std::move(filter));
    Changed();
    return Count() - 1;
}

int TCrashExceptionsFilters::Add(const TCrashExceptionFilter& filter) {
    return Add(std::make_unique<TCrashExceptionFilter>(filter));
}

void TCrashExceptionsFilters::Delete(int index) {
    if (index < 0 || index >= Count()) throw std::out_of_range("filter index out of range");
    items_.erase(items_.begin() + index);
    Changed();
}

void TCrashExceptionsFilters::Clear() {
    items_.clear();
    Changed();
}

void TCrashExceptionsFilters::Assign(const TCrashExceptionsFilters& source) {
    if (&source == this) return;
    items_.clear();
    for (const auto& f : source.items_)
        items_.push_back(std::make_unique<TCrashExceptionFilter>(*f));
    Changed();
}

bool TCrashExceptionsFilters::operator==(const TCrashExceptionsFilters& other) const {
    if (items_.size() != other.items_.size()) return false;
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (!(*items_[i] == *other.items_[i])) return false;
    return true;
}

void TCrashExceptionsFilters::Changed() {
    if (owner_) owner_->Changed();
}

// ---------------------------------------------------------------------------
// %NAME% expansion

namespace {

bool IsNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

thread_local const TVariableValues* tThreadVariables = nullptr;

const char* VariableText(const std::string& name) {
    if (tThreadVariables)
        for (const auto& [pinned, value] : *tThreadVariables)
            if (pinned == name) return value.c_str();
    return std::getenv(name.c_str());
}

std::string VariableValue(const std::string& name) {
    if (!name.empty()) {
        if (const char* env = VariableText(name); env && *env) return env;
    }
    if (EqualsNoCase(name, "date") || EqualsNoCase(name, "time")) {
        std::time_t now = std::time(nullptr);
        std::tm tm{};
        localtime_r(&now, &tm);
        char buf[32];
        if (EqualsNoCase(name, "date"))
            std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", tm.tm_mday, tm.tm_mon + 1,
                          tm.tm_year + 1900);
        else
            std::snprintf(buf, sizeof buf, "%02d:%02d", tm.tm_hour, tm.tm_min);
        return buf;
    }
    if (EqualsNoCase(name, "cd")) {
        std::error_code ec;
        auto cwd = std::filesystem::current_path(ec);
        return ec ? std::string() : cwd.string();
    }
    return {};
}

}  // namespace

const TVariableValues* SetThreadVariables(const TVariableValues* values) {
    const TVariableValues* previous = tThreadVariables;
    tThreadVariables = values;
    return previous;
}

std::string ExpandVariables(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        if (text[i] != '%') {
            out += text[i++];
            continue;
        }
        // The last character of the text is never part of a name, so a
        // reference always has room for its closing '%'.
        std::size_t j = i + 1;
        while (j + 1 < n && IsNameChar(text[j]))
            ++j;
        if (j < n && text[j] == '%') {
            out += VariableValue(std::string(text.substr(i + 1, j - i - 1)));
            i = j + 1;
        } else {
            out.append(text.substr(i, j - i));
            i = j;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// The options object

TCrashModuleOptions::TCrashModuleOptions(std::string moduleName)
    : ownerModuleName_(std::move(moduleName)),
      filters_(std::make_unique<TCrashExceptionsFilters>(this)) {
    ownerModuleHandle_ = ownerModuleName_.empty() ? 0 : ModuleHandleByName(ownerModuleName_);
    SetDefaults();
    batch_ = 0;
}

TCrashModuleOptions::~TCrashModuleOptions() = default;

void TCrashModuleOptions::SetEnabled(bool value) {
    enabled_ = value;
}

void TCrashModuleOptions::SetDetectFrozen(bool value) {
    values_.DetectFrozen = value;
    Changed();
}

namespace {
// Opens a batch for the life of a scope, closing it on every exit path.
class Batch {
  public:
    explicit Batch(TCrashModuleOptions& o) : o_(o) { o_.BeginUpdate(); }
    ~Batch() { o_.EndUpdate(); }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

  private:
    TCrashModuleOptions& o_;
};
}  // namespace

void TCrashModuleOptions::Assign(const TCrashModuleOptions* source) {
    if (!source) throw EConvertError("Impossible to assign nil as TCrashModuleOptions.");
    if (source == this) return;
    Batch batch(*this);
    values_ = source->values_;
    filters_->Assign(*source->filters_);
    mailBody_ = source->mailBody_;
    texts_ = source->texts_;
    textLanguage_ = source->textLanguage_;
    reproduceText_ = source->reproduceText_;
    buildStart_ = source->buildStart_;
    buildSuccess_ = source->buildSuccess_;
    buildFailure_ = source->buildFailure_;
}

void TCrashModuleOptions::SetDefaults() {
    Batch batch(*this);
    values_ = TCrashOptionValues{};
    for (int i = 0; i < kCustomTextCount; ++i)
        texts_[i] = kCustomTexts[i].Default;
    mailBody_.clear();
    textLanguage_ = "English";
    filters_->Clear();
    reproduceText_.clear();
    buildStart_.clear();
    buildSuccess_.clear();
    buildFailure_.clear();
    enabled_ = true;
}

void TCrashModuleOptions::SaveToStream(ByteBuffer& out) const {
    WriteOptionsStream(*this, out);
}

ByteBuffer TCrashModuleOptions::SaveToBytes() const {
    ByteBuffer out;
    SaveToStream(out);
    return out;
}

std::size_t TCrashModuleOptions::LoadFromStream(std::span<const std::uint8_t> data,
                                                std::uint16_t version) {
    Batch batch(*this);
    return ReadOptionsStream(*this, data, version);
}

void TCrashModuleOptions::SetValues(const TCrashOptionValues& values) {
    values_ = values;
    values_.ShownFields &= kAllShownFields;
    Changed();
}

void TCrashModuleOptions::SetMailBody(std::string value) {
    mailBody_ = std::move(value);
    Changed();
}

void TCrashModuleOptions::SetTextLanguage(std::string value) {
    textLanguage_ = std::move(value);
    Changed();
}

bool TCrashModuleOptions::ShownField(int bit) const {
    return bit >= 0 && bit < kShownFieldCount && ((values_.ShownFields >> bit) & 1) != 0;
}

std::string TCrashModuleOptions::Text(int index) const {
    return ExpandVariables(RawText(index));
}

const std::string& TCrashModuleOptions::RawText(int index) const {
    static const std::string empty;
    if (index < 0 || index >= kCustomTextCount) return empty;
    return texts_[static_cast<std::size_t>(index)];
}

void TCrashModuleOptions::SetText(int index, std::string text) {
    if (index < 0 || index >= kCustomTextCount) return;
    texts_[static_cast<std::size_t>(index)] = std::move(text);
    Changed();
}

void TCrashModuleOptions::Changed() {
    if (batch_ == 0 && ownerModuleHandle_ != 0 && ownerModuleHandle_ == CrashLibraryModuleHandle())
        Publish();
}

void TCrashModuleOptions::EndUpdate() {
    if (batch_ > 0) --batch_;
    if (batch_ == 0) Changed();
}

void TCrashModuleOptions::Publish() {}

void TCrashModuleOptions::Refresh() {}

bool TCrashModuleOptions::SameOptions(const TCrashModuleOptions& other) const {
    return values_ == other.values_ && *filters_ == *other.filters_ &&
           mailBody_ == other.mailBody_ && texts_ == other.texts_ &&
           textLanguage_ == other.textLanguage_;
}

}  // namespace crashlog
