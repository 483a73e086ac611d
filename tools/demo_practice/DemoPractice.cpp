#include "DemoPractice.h"

#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "engine/engine.h"

namespace kvo::demo {

namespace fs = std::filesystem;
using namespace std::chrono;
using engine::Session;
using engine::TDatabase;
using engine::TFieldDef;
using engine::TFieldType;
using engine::TTable;

namespace {

template <typename... Args>
std::string Printf(const char* format, Args... args) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}

// The engine database name used while building; never KVO, so that a
// program that also holds KVO open is left alone.
constexpr const char* kBuildDatabase = "KVO_DEMO_BUILD";

// A small generator of our own: the standard distributions may differ
// between library versions, and a seed must always give the same practice.
class TRandom {
  public:
    explicit TRandom(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int Between(int low, int high) {  // inclusive
        return low + static_cast<int>(Next() % static_cast<std::uint64_t>(high - low + 1));
    }
    bool Chance(int percent) { return Between(1, 100) <= percent; }
    template <typename T, std::size_t N>
    const T& Pick(const std::array<T, N>& items) {
        return items[Next() % N];
    }

  private:
    std::uint64_t state_;
};

constexpr std::array<const char*, 24> kSurnames = {
    "Ashdown", "Bellamy",  "Carrow",    "Dunmore",   "Elvey",  "Farrant", "Garside",  "Hollins",
    "Ingram",  "Jessop",   "Kettle",    "Lofthouse", "Marlow", "Newbold", "Orchard",  "Penrose",
    "Quayle",  "Rowntree", "Sutcliffe", "Thorne",    "Upton",  "Varley",  "Whitlock", "Yardley"};
constexpr std::array<const char*, 24> kForenames = {
    "Alice", "Bernard", "Clara", "Daniel", "Eleanor", "Frank", "Grace",  "Henry",
    "Isla",  "James",   "Kate",  "Louis",  "Martha",  "Neil",  "Olivia", "Peter",
    "Rose",  "Samuel",  "Tessa", "Victor", "Wendy",   "Owen",  "Helen",  "George"};

std::string DateText(year_month_day day) {
    return Printf("%02u/%02u/%04d", static_cast<unsigned>(day.day()),
                  static_cast<unsigned>(day.month()), static_cast<int>(day.year()));
}

std::string TimeText(int minutes) {
    return Printf("%02d:%02d:00", minutes / 60, minutes % 60);
}

std::string ClockText(int minutes) {
    return Printf("%02d:%02d", minutes / 60, minutes % 60);
}

void Create(TTable& table, const std::string& name, std::vector<TFieldDef> defs,
            const std::string& key = "") {
    table.SetDatabaseName(kBuildDatabase);
    table.SetTableName(name);
    table.FieldDefs() = std::move(defs);
    table.SetIndexFieldNames(key);
    table.CreateTable();
    table.Open();
}

// Runs `load` in one transaction of the build database.
template <typename Load>
void InTransaction(TDatabase& database, Load load) {
    database.StartTransaction();
    try {
        load();
        database.Commit();
    } catch (...) {
        database.Rollback();
        throw;
    }
}

struct TUserRow {
    int number;
    std::string surname;
    std::string forename;
    int form;  // 1 a dentist, 2 other staff
};

std::vector<TUserRow> MakeUsers(TRandom& random, int dentists) {
    std::vector<TUserRow> users;
    const int staff = 3;
    for (int i = 0; i < dentists + staff; ++i) {
        // Stepping through the lists keeps names varied and rarely repeated.
        const std::size_t s =
            (random.Next() % kSurnames.size() + static_cast<std::size_t>(i) * 7) % kSurnames.size();
        users.push_back({i + 1, kSurnames[s], random.Pick(kForenames), i < dentists ? 1 : 2});
    }
    return users;
}

struct TPlan {  // one dentist's working pattern
    int start;  // minutes after midnight
    int end;
    int interval;  // minutes
    bool coffee;   // a short mid-morning break as well as lunch
};

void AddEntry(TTable& entries, const char* type, int user, const std::string& date, int time,
              int length, int patient) {
    entries.Append();
    entries.FieldByName("Type").SetAsString(type);
    entries.FieldByName("User").SetAsInteger(user);
    entries.FieldByName("Date").SetAsString(date);
    entries.FieldByName("Time").SetAsString(TimeText(time));
    entries.FieldByName("Length").SetAsInteger(length);
    if (patient > 0) entries.FieldByName("Patient").SetAsInteger(patient);
    entries.Post();
}

void LoadDentist(TRandom& random, TTable& calendar, TTable& entries, int user, sys_days first,
                 sys_days last, int patients, TDemoCounts& counts) {
    constexpr std::array<int, 2> kStarts = {8 * 60 + 30, 9 * 60};
    constexpr std::array<int, 2> kEnds = {17 * 60, 17 * 60 + 30};
    constexpr std::array<int, 3> kIntervals = {10, 15, 20};
    const TPlan plan{random.Pick(kStarts), random.Pick(kEnds), random.Pick(kIntervals),
                     random.Chance(50)};
    const int lunch = 12 * 60 + 30, lunchLength = 60, coffee = 10 * 60 + 30, coffeeLength = 15;
    const std::string breaks =
        (plan.coffee ? ClockText(coffee) + "-" + ClockText(coffee + coffeeLength) + ";"
                     : std::string()) +
        ClockText(lunch) + "-" + ClockText(lunch + lunchLength);

    for (sys_days day = first; day <= last; day += days{1}) {
        const year_month_day ymd{day};
        const std::string date = DateText(ymd);
        const weekday wd{day};
        const bool weekend = wd == Saturday || wd == Sunday;
        const unsigned d = static_cast<unsigned>(ymd.day()), m = static_cast<unsigned>(ymd.month());
        const bool holiday = !weekend && ((m == 1 && d == 1) || (m == 12 && (d == 25 || d == 26)) ||
                                          random.Chance(2));

        calendar.Append();
        calendar.FieldByName("User").SetAsInteger(user);
        calendar.FieldByName("Date").SetAsString(date);
        if (weekend) {
            calendar.FieldByName("Closed").SetAsBoolean(true);
        } else {
            // A holiday was set up as a working day and closed later, so it
            // keeps its session settings.  Some open days never had the flag
            // written at all.
            if (holiday || !random.Chance(10)) calendar.FieldByName("Closed").SetAsBoolean(holiday);
            calendar.FieldByName("Start").SetAsString(TimeText(plan.start));
            calendar.FieldByName("End").SetAsString(TimeText(plan.end));
            calendar.FieldByName("Interval").SetAsInteger(plan.interval);
            calendar.FieldByName("Breaks").SetAsString(breaks);
        }
        calendar.Post();
        ++counts.calendarDays;
        if (weekend) continue;

        if (plan.coffee && !holiday) {
            AddEntry(entries, "*", user, date, coffee, coffeeLength, 0);
            ++counts.breaks;
        }
        AddEntry(entries, "*", user, date, lunch, lunchLength, 0);
        ++counts.breaks;
        if (holiday) continue;

        const int slots = (plan.end - plan.start) / plan.interval;
        const int booked = random.Between(8, 15);
        for (int i = 0; i < booked; ++i) {
            int time = plan.start + random.Between(0, slots - 1) * plan.interval;
            if (time >= lunch && time < lunch + lunchLength) time += lunchLength;
            const int length = plan.interval * random.Between(1, 3);
            // Mostly appointments ("A"), now and then a reserved slot ("R").
            AddEntry(entries, random.Chance(5) ? "R" : "A", user, date, time, length,
                     random.Between(1, patients));
            ++counts.appointments;
        }
    }
}

void LoadSmallTables(TRandom& random, TDatabase& database, int patients) {
    TTable patient;
    Create(patient, "Patient.DB",
           {{"Patient", TFieldType::Integer},
            {"Surname", TFieldType::String, 30},
            {"Forename", TFieldType::String, 30},
            {"DOB", TFieldType::Date}},
           "Patient");
    InTransaction(database, [&] {
        for (int i = 1; i <= patients; ++i) {
            patient.Append();
            patient.FieldByName("Patient").SetAsInteger(i);
            patient.FieldByName("Surname").SetAsString(random.Pick(kSurnames));
            patient.FieldByName("Forename").SetAsString(random.Pick(kForenames));
            patient.FieldByName("DOB").SetAsString(Printf("%02d/%02d/%04d", random.Between(1, 28),
                                                          random.Between(1, 12),
                                                          random.Between(1935, 2020)));
            patient.Post();
        }
    });

    struct TTreatment {
        const char* code;
        const char* description;
        double fee;
    };
    constexpr std::array<TTreatment, 6> kTreatments = {{{"EXAM", "Examination", 25.0},
                                                        {"SCALE", "Scale and polish", 45.0},
                                                        {"XRAY", "Radiograph", 18.5},
                                                        {"FILL", "Filling", 72.0},
                                                        {"EXTR", "Extraction", 95.0},
                                                        {"CROWN", "Crown", 420.0}}};
    TTable treatments, fees;
    Create(treatments, "TRT_CTL.DB",
           {{"Code", TFieldType::String, 6},
            {"Description", TFieldType::String, 40},
            {"Fee", TFieldType::Currency}},
           "Code");
    Create(fees, "PRV_FEE.DB",
           {{"Code", TFieldType::String, 6},
            {"Band", TFieldType::Integer},
            {"Fee", TFieldType::Currency}});
    InTransaction(database, [&] {
        for (const auto& t : kTreatments) {
            treatments.Append();
            treatments.FieldByName("Code").SetAsString(t.code);
            treatments.FieldByName("Description").SetAsString(t.description);
            treatments.FieldByName("Fee").SetAsCurrency(t.fee);
            treatments.Post();
            for (int band = 1; band <= 3; ++band) {
                fees.Append();
                fees.FieldByName("Code").SetAsString(t.code);
                fees.FieldByName("Band").SetAsInteger(band);
                fees.FieldByName("Fee").SetAsCurrency(t.fee * (1.0 + 0.1 * band));
                fees.Post();
            }
        }
    });

    TTable control;
    Create(control, "CONTROL.DB",
           {{"Name", TFieldType::String, 20},
            {"Number", TFieldType::Integer},
            {"STRING", TFieldType::String, 80}},
           "Name");
    control.AddIndex("Name", "Name");
    InTransaction(database, [&] {
        const std::array<std::tuple<const char*, int, const char*>, 3> rows = {
            {{"NEXTPATIENT", patients + 1, ""},
             {"PRACTICE", 0, "Demonstration Dental Practice"},
             {"VERSION", 1, "1.0"}}};
        for (const auto& [name, number, text] : rows) {
            control.Append();
            control.FieldByName("Name").SetAsString(name);
            control.FieldByName("Number").SetAsInteger(number);
            control.FieldByName("STRING").SetAsString(text);
            control.Post();
        }
    });

    TTable errors;
    Create(errors, "ERROR.DB", ErrorFields());
    InTransaction(database, [&] {
        for (int i = 0; i < 2; ++i) {
            errors.Append();
            errors.FieldByName("Date").SetAsString(i == 0 ? "14/03/2025" : "02/09/2025");
            errors.FieldByName("Time").SetAsString(i == 0 ? "09:12:44" : "16:05:03");
            errors.FieldByName("Computer").SetAsString("RECEPTION");
            errors.FieldByName("Username").SetAsString("frontdesk");
            errors.FieldByName("Application").SetAsString("Tarnwick");
            errors.FieldByName("Class").SetAsString("EDBEngineError");
            for (const char* prefix : {"v", "p"}) {
                errors.FieldByName(std::string(prefix) + "Major").SetAsInteger(1);
                errors.FieldByName(std::string(prefix) + "Minor").SetAsInteger(0);
                errors.FieldByName(std::string(prefix) + "Release").SetAsInteger(0);
                errors.FieldByName(std::string(prefix) + "Build").SetAsInteger(i + 1);
            }
            errors.FieldByName("Error").SetAsString("Record locked by another user.");
            errors.FieldByName("Reported").SetAsBoolean(i == 0);
            errors.Post();
        }
    });
}

// `date` moved by whole years; 29 February becomes the 28th in other years.
sys_days AddYears(sys_days date, int count) {
    const year_month_day ymd{date};
    year_month_day moved{ymd.year() + years{count}, ymd.month(), ymd.day()};
    if (!moved.ok()) moved = year_month_day{moved.year() / moved.month() / std::chrono::last};
    return sys_days{moved};
}

sys_days DateOf(const std::string& text, const char* what) {
    int y = 0, m = 0, d = 0;
    if (!ParseDate(text, y, m, d))
        throw std::runtime_error(std::string("the ") + what + " \"" + text +
                                 "\" is not a date written DD/MM/YYYY");
    return sys_days{year{y} / month{static_cast<unsigned>(m)} / day{static_cast<unsigned>(d)}};
}

// The computer's date where the user sits, not UTC's.
sys_days LocalToday() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return sys_days{year{local.tm_year + 1900} / month{static_cast<unsigned>(local.tm_mon + 1)} /
                    day{static_cast<unsigned>(local.tm_mday)}};
}

// First and last day of the books.
std::pair<sys_days, sys_days> BookRange(const TDemoOptions& options) {
    if (!options.endDate.empty()) {
        // Y years of days ending on the last day.
        const sys_days last = DateOf(options.endDate, "end date");
        return {AddYears(last, -options.years) + days{1}, last};
    }
    const sys_days today = options.today.empty() ? LocalToday() : DateOf(options.today, "date");
    return {AddYears(today, -options.years) + days{1}, AddYears(today, options.yearsAhead)};
}

void Build(const TDemoOptions& options, const fs::path& tables, const TProgress& progress,
           TDemoCounts& counts) {
    // Plain names, not a structured binding: clang 14 cannot capture those.
    const auto range = BookRange(options);
    const sys_days first = range.first, last = range.second;

    auto& database = Session().Database(kBuildDatabase);
    database.Params() = {"PATH=" + tables.string()};
    database.Open();
    TRandom random(options.seed);
    const int patients = 400 * options.dentists;

    const auto users = MakeUsers(random, options.dentists);
    TTable user;
    Create(user, "USER.DB", UserFields(), "User");
    InTransaction(database, [&] {
        for (const auto& row : users) {
            user.Append();
            user.FieldByName("User").SetAsInteger(row.number);
            user.FieldByName("Surname").SetAsString(row.surname);
            user.FieldByName("Forename").SetAsString(row.forename);
            user.FieldByName("Form").SetAsInteger(row.form);
            user.Post();
        }
    });
    counts.users = static_cast<std::int64_t>(users.size());

    TTable calendar, entries;
    Create(calendar, "APP_CAL.DB", CalendarFields());
    Create(entries, "APP_REC.DB", EntryFields());
    for (int dentist = 1; dentist <= options.dentists; ++dentist) {
        InTransaction(database, [&] {
            LoadDentist(random, calendar, entries, dentist, first, last, patients, counts);
        });
        if (progress) progress(dentist, options.dentists);
    }
    // Indexes after the load: building them once is far cheaper than
    // keeping them up to date row by row.
    calendar.AddIndex("UserDate", "User;Date");
    entries.AddIndex("UserDate", "User;Date");
    for (TTable* table : {&user, &calendar, &entries})
        table->Close();

    LoadSmallTables(random, database, patients);
    database.Close();
}

}  // namespace

std::vector<TFieldDef> UserFields() {
    return {{"User", TFieldType::Integer},
            {"Surname", TFieldType::String, 30},
            {"Forename", TFieldType::String, 30},
            {"Form", TFieldType::Integer}};
}

std::vector<TFieldDef> CalendarFields() {
    return {{"User", TFieldType::Integer},     {"Date", TFieldType::Date},
            {"Closed", TFieldType::Logical},   {"Start", TFieldType::Time},
            {"End", TFieldType::Time},         {"Interval", TFieldType::Integer},
            {"Breaks", TFieldType::String, 60}};
}

std::vector<TFieldDef> EntryFields() {
    return {{"Type", TFieldType::String, 1}, {"User", TFieldType::Integer},
            {"Date", TFieldType::Date},      {"Time", TFieldType::Time},
            {"Length", TFieldType::Integer}, {"Patient", TFieldType::Integer}};
}

std::vector<TFieldDef> ErrorFields() {
    std::vector<TFieldDef> fields = {{"Date", TFieldType::Date},
                                     {"Time", TFieldType::Time},
                                     {"Computer", TFieldType::String, 30},
                                     {"Username", TFieldType::String, 30},
                                     {"Application", TFieldType::String, 30},
                                     {"Class", TFieldType::String, 40}};
    for (const char* prefix : {"v", "p"})
        for (const char* part : {"Major", "Minor", "Release", "Build"})
            fields.push_back({std::string(prefix) + part, TFieldType::Integer});
    fields.push_back({"Error", TFieldType::Memo});
    fields.push_back({"Stack", TFieldType::Memo});
    fields.push_back({"Reported", TFieldType::Logical});
    return fields;
}

bool ParseDate(const std::string& text, int& y, int& m, int& d) {
    if (text.size() != 10 || text[2] != '/' || text[5] != '/') return false;
    for (std::size_t i : {0, 1, 3, 4, 6, 7, 8, 9})
        if (text[i] < '0' || text[i] > '9') return false;
    d = std::stoi(text.substr(0, 2));
    m = std::stoi(text.substr(3, 2));
    y = std::stoi(text.substr(6, 4));
    return year_month_day{year{y} / month{static_cast<unsigned>(m)} / day{static_cast<unsigned>(d)}}
        .ok();
}

std::pair<std::string, std::string> BookDays(const TDemoOptions& options) {
    const auto [first, last] = BookRange(options);
    return {DateText(year_month_day{first}), DateText(year_month_day{last})};
}

TDemoCounts CreateDemoPractice(const TDemoOptions& options, const TProgress& progress) {
    BookRange(options);  // refuses dates that are none before anything is made
    if (options.dentists < 1 || options.dentists > 999)
        throw std::runtime_error("the number of dentists must be between 1 and 999");
    if (options.years < 1 || options.years > 100)
        throw std::runtime_error("the number of years must be between 1 and 100");
    if (options.yearsAhead < 1 || options.yearsAhead > 10)
        throw std::runtime_error("the number of years ahead must be between 1 and 10");
    if (options.out.empty()) throw std::runtime_error("no output folder given");

    const fs::path out(options.out);
    const fs::path tables = out / "Data";
    const fs::path target = tables / engine::kDatabaseFileName;
    std::error_code ec;
    if (fs::exists(target, ec))
        throw std::runtime_error("\"" + out.string() +
                                 "\" already holds a practice; choose an empty folder");
    fs::create_directories(out, ec);
    if (ec) throw std::runtime_error("cannot create \"" + out.string() + "\": " + ec.message());

    const fs::path building = out / (".Data-building-" + std::to_string(::getpid()));
    fs::remove_all(building, ec);
    fs::create_directories(building, ec);
    if (ec)
        throw std::runtime_error("cannot create \"" + building.string() + "\": " + ec.message());

    TDemoCounts counts;
    try {
        Build(options, building, progress, counts);
        Session().RemoveDatabase(kBuildDatabase);
        fs::create_directories(tables);
        fs::rename(building / engine::kDatabaseFileName, target);
        fs::remove_all(building);
    } catch (...) {
        Session().RemoveDatabase(kBuildDatabase);
        fs::remove_all(building, ec);
        throw;
    }
    return counts;
}

}  // namespace kvo::demo
