// Local time against the system's zone database: every zone of the database,
// instants from 1970 to the end of the range. The database's files are read
// here on their own (a small reader of the compiled zone format), so the
// expected wall-clock times come from the data, not from the code under test
// nor from the C library it asks.
//
// A zone is read once per process, so every zone runs in a child process of its
// own (this binary again, with TZ set); the children run a few at a time.
// Each child checks, across the whole range:
//  - every change of the clock: the instants around it and the wall-clock
//    times around, inside and just past the skipped or repeated stretch;
//  - one instant about every week (a stride that walks through every hour of
//    the day and every day of the week over the years) and its wall-clock time
//    read back, and the same wall-clock time some minutes on;
//  - both ends of the range.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DateTime.h"
#include "testing/TestSystem.h"

using namespace Brolix;

namespace {

const char kZoneDirectory[] = "/usr/share/zoneinfo";
const char kChildVariable[] = "BROLIX_ZONE_DATABASE_CHILD";
const int64_t kLatest = DateTime::LATEST;

/// A zone as its compiled file describes it: the instants at which the offset
/// changes and the offset (seconds east of UTC) in force from each of them on;
/// `initial` before the first.
struct ZoneData {
    std::vector<int64_t> changes;
    std::vector<int64_t> offsets;
    int64_t initial = 0;
    /// Instants from here on follow the file's closing rule, which this reader
    /// does not evaluate (a file that lists no changes up to 2038 itself).
    int64_t coveredUntil = kLatest;
};

int64_t bigEndian(const unsigned char* p, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | p[i];
    if (bytes == 4) return static_cast<int32_t>(static_cast<uint32_t>(value));
    return static_cast<int64_t>(value);
}

/// Reads a compiled zone file (version 1 data, or the 64-bit data of later
/// versions); false when the file is not one.
bool readZone(const std::string& path, ZoneData& zone) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t at = 0;
    int timeSize = 4;
    for (int block = 0; block < 2; ++block) {
        if (bytes.size() < at + 44 || bytes.compare(at, 4, "TZif") != 0) return false;
        const char version = bytes[at + 4];
        const int64_t isutcnt = bigEndian(data + at + 20, 4), isstdcnt = bigEndian(data + at + 24, 4),
                      leapcnt = bigEndian(data + at + 28, 4), timecnt = bigEndian(data + at + 32, 4),
                      typecnt = bigEndian(data + at + 36, 4), charcnt = bigEndian(data + at + 40, 4);
        const size_t size = timecnt * timeSize + timecnt + typecnt * 6 + charcnt + leapcnt * (timeSize + 4) +
                            isstdcnt + isutcnt;
        at += 44;
        if (bytes.size() < at + size || typecnt < 1) return false;
        if (block == 0 && version >= '2') {
            // Skip the 32-bit data; the 64-bit block follows with its own header.
            at += size;
            timeSize = 8;
            continue;
        }
        const unsigned char* times = data + at;
        const unsigned char* indices = times + timecnt * timeSize;
        const unsigned char* types = indices + timecnt;
        std::vector<int64_t> typeOffsets;
        std::vector<bool> typeDaylight;
        for (int64_t t = 0; t < typecnt; ++t) {
            typeOffsets.push_back(bigEndian(types + 6 * t, 4));
            typeDaylight.push_back(types[6 * t + 4] != 0);
        }
        // Before the first change: the first type that is not daylight time.
        size_t first = 0;
        while (first < typeDaylight.size() && typeDaylight[first]) ++first;
        zone.initial = typeOffsets[first < typeOffsets.size() ? first : 0];
        for (int64_t i = 0; i < timecnt; ++i) {
            if (indices[i] >= typecnt) return false;
            zone.changes.push_back(bigEndian(times + i * timeSize, timeSize));
            zone.offsets.push_back(typeOffsets[indices[i]]);
        }
        // The closing rule (after the data, between line feeds) carries daylight
        // time when it has a comma: then only the listed changes are known.
        const size_t footer = at + size;
        const std::string rule = bytes.size() > footer + 1 ? bytes.substr(footer + 1) : "";
        if (rule.find(',') != std::string::npos && !zone.changes.empty()) {
            zone.coveredUntil = std::min<int64_t>(kLatest, zone.changes.back());
        }
        return true;
    }
    return false;
}

/// The offset in force at `instant`.
int64_t offsetAt(const ZoneData& zone, int64_t instant) {
    const auto next = std::upper_bound(zone.changes.begin(), zone.changes.end(), instant);
    return next == zone.changes.begin() ? zone.initial : zone.offsets[next - zone.changes.begin() - 1];
}

/// The instant whose wall-clock time is `wall` (the wall-clock fields counted as
/// if they were UTC): the first one when the time occurs twice; for a time that
/// a change skips, the wall-clock time read with the offset before the change.
int64_t instantOf(const ZoneData& zone, int64_t wall) {
    const int64_t reach = 30 * 3600;  // beyond any offset
    // Periods: from change i - 1 (or the beginning) to change i, with offset of i - 1.
    const size_t count = zone.changes.size();
    size_t i =
        std::upper_bound(zone.changes.begin(), zone.changes.end(), wall - reach) - zone.changes.begin();
    bool found = false;
    int64_t best = 0;
    for (size_t period = i; period <= count; ++period) {
        const int64_t begin = period == 0 ? INT64_MIN : zone.changes[period - 1];
        const int64_t end = period == count ? INT64_MAX : zone.changes[period];
        if (begin > wall + reach) break;
        const int64_t offset = period == 0 ? zone.initial : zone.offsets[period - 1];
        const int64_t candidate = wall - offset;
        if (candidate >= begin && candidate < end && (!found || candidate < best)) {
            best = candidate;
            found = true;
        }
    }
    if (found) return best;
    for (size_t change = i; change < count; ++change) {
        const int64_t before = change == 0 ? zone.initial : zone.offsets[change - 1];
        if (zone.changes[change] + before <= wall && wall < zone.changes[change] + zone.offsets[change]) {
            return wall - before;
        }
    }
    ADD_FAILURE() << "the zone data has no instant for the wall-clock time " << wall;
    return wall;
}

std::string utcText(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[40];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    return text;
}

std::string fieldsText(const DateTimeFields& f) {
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", f.year, f.month, f.day, f.hour,
                  f.minute, f.second);
    return text;
}

/// What setLocalFields makes of the wall-clock time `wall`, as the zone data says:
/// the range's ends hold, and a time before its start stays as it was.
int64_t expectedInstant(const ZoneData& zone, int64_t wall) {
    const int64_t instant = instantOf(zone, wall);
    if (instant < 0) return wall;
    return std::min(instant, kLatest);
}

/// Mismatches found in this child; the first few are reported in full.
int g_mismatches = 0;

void checkInstant(const ZoneData& zone, const std::string& name, int64_t instant) {
    if (instant < 0 || instant > kLatest || instant >= zone.coveredUntil) return;
    const DateTime value(static_cast<int32_t>(instant));
    const int64_t offset = offsetAt(zone, instant);
    const std::string expected = utcText(instant + offset);
    const std::string shown = fieldsText(value.localFields());
    const int32_t minutes = value.zoneOffset(false);
    if (shown != expected || minutes != offset / 60) {
        if (++g_mismatches <= 5) {
            ADD_FAILURE() << name << ": " << utcText(instant) << "Z shows " << shown << " offset " << minutes
                          << " min; the zone data: " << expected << " offset " << offset / 60 << " min";
        }
    }
}

void checkWallClock(const ZoneData& zone, const std::string& name, int64_t wall) {
    if (wall < 0 || wall > kLatest || wall + 30 * 3600 >= zone.coveredUntil) return;
    const time_t t = static_cast<time_t>(wall);
    std::tm f{};
    gmtime_r(&t, &f);
    DateTime value(0);
    value.setLocalFields(f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec, false);
    const int64_t expected = expectedInstant(zone, wall);
    if (value.value() != expected && ++g_mismatches <= 5) {
        ADD_FAILURE() << name << ": wall-clock " << utcText(wall) << " gives " << utcText(value.value())
                      << "Z; the zone data: " << utcText(expected) << "Z";
    }
}

void agreesWithTheDatabase(const std::string& name) {
    ZoneData zone;
    ASSERT_TRUE(readZone(std::string(kZoneDirectory) + "/" + name, zone)) << name;
    for (size_t i = 0; i < zone.changes.size(); ++i) {
        const int64_t change = zone.changes[i];
        if (change < -86400 || change > kLatest + 86400) continue;
        const int64_t before = i == 0 ? zone.initial : zone.offsets[i - 1];
        const int64_t after = zone.offsets[i];
        for (int64_t step : {-3600, -1, 0, 1, 3600}) checkInstant(zone, name, change + step);
        for (int64_t edge : {change + before, change + after}) {
            for (int64_t step : {-3601, -1, 0, 1, 1799, 3599}) checkWallClock(zone, name, edge + step);
        }
        checkWallClock(zone, name, change + (before + after) / 2);
    }
    for (int64_t instant = 0; instant <= kLatest; instant += 617717) {
        checkInstant(zone, name, instant);
        const int64_t wall = instant + offsetAt(zone, instant);
        checkWallClock(zone, name, wall);
        checkWallClock(zone, name, wall + 2460);
    }
    for (int64_t instant : {int64_t(0), int64_t(1), int64_t(86399), kLatest - 86400, kLatest}) {
        checkInstant(zone, name, instant);
        checkWallClock(zone, name, instant);
    }
    EXPECT_EQ(g_mismatches, 0) << name << ": mismatches in all";
}

// Times a change of the clock skips or repeats, and changes at midnight, with the
// instants written out by hand from the zones' published rules for 2026.
void resolvesKnownChanges(const std::string& name) {
    const struct {
        const char* zone;
        int month, day, hour, minute;
        const char* utc;
    } cases[] = {
        {"Europe/Berlin", 3, 29, 2, 30, "2026-03-29T01:30:00Z"},     // skipped
        {"Europe/Berlin", 10, 25, 2, 30, "2026-10-25T00:30:00Z"},    // repeated: the first
        {"Australia/Sydney", 10, 4, 2, 30, "2026-10-03T16:30:00Z"},  // southern: skipped in October
        {"Australia/Sydney", 4, 5, 2, 30, "2026-04-04T15:30:00Z"},   // repeated in April
        {"Africa/Cairo", 4, 24, 0, 30, "2026-04-23T22:30:00Z"},      // midnight, last Friday
        {"Africa/Cairo", 4, 27, 12, 0, "2026-04-27T09:00:00Z"},      // the week after
        {"Africa/Cairo", 10, 29, 23, 30, "2026-10-29T20:30:00Z"},    // repeated before midnight
        {"Asia/Beirut", 3, 29, 0, 30, "2026-03-28T22:30:00Z"},
        {"Asia/Gaza", 3, 28, 2, 30, "2026-03-28T00:30:00Z"},
        {"America/Nuuk", 3, 28, 23, 30, "2026-03-29T01:30:00Z"},
        {"America/Nuuk", 10, 24, 23, 30, "2026-10-25T00:30:00Z"},
        {"America/Santiago", 9, 6, 0, 30, "2026-09-06T04:30:00Z"},
        {"America/Santiago", 4, 4, 23, 30, "2026-04-05T02:30:00Z"},
    };
    for (const auto& c : cases) {
        if (name != c.zone) continue;
        DateTime value(0);
        value.setLocalFields(2026, c.month, c.day, c.hour, c.minute, 0, false);
        EXPECT_EQ(value.toString(true, false, false), c.utc)
            << c.zone << " 2026-" << c.month << "-" << c.day << " " << c.hour << ":" << c.minute;
        // Text without a zone is read the same way.
        char text[32];
        std::snprintf(text, sizeof text, "2026-%02d-%02dT%02d:%02d", c.month, c.day, c.hour, c.minute);
        EXPECT_EQ(DateTime(parseDateTime(text)).toString(true, false, false), c.utc) << c.zone << " " << text;
    }
}

/// Every zone file of the database, by its name below the directory; aliases
/// that are links to another zone's file are left out.
std::vector<std::string> zoneNames() {
    std::vector<std::string> names;
    std::error_code error;
    namespace fs = std::filesystem;
    for (fs::recursive_directory_iterator it(kZoneDirectory, error), end; !error && it != end;
         it.increment(error)) {
        const std::string relative = it->path().string().substr(sizeof kZoneDirectory);
        if (it->is_directory() && (relative == "posix" || relative == "right")) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_symlink() || !it->is_regular_file()) continue;
        std::ifstream in(it->path(), std::ios::binary);
        char magic[4] = {};
        if (in.read(magic, 4) && std::string(magic, 4) == "TZif") names.push_back(relative);
    }
    std::sort(names.begin(), names.end());
    return names;
}

/// Runs the child tests for `zone`; its exit status, and its output in `output`.
int runZoneChild(const std::string& zone, std::string& output) {
    Brolix::test::ChildOptions options;
    options.setVariables = {{"TZ", zone}, {kChildVariable, zone}};
    Brolix::test::ChildProcess child(Brolix::test::thisProgram(), {"--gtest_filter=ZoneDatabaseChild.*"}, options);
    const Brolix::test::ProcessEnd end = child.wait();
    output = child.problem() + child.output() + child.errors();
    return end.exitCode;
}

TEST(DateTimeZoneDatabaseTest, LocalTimeAgreesWithTheDatabaseInEveryZone) {
    const std::vector<std::string> zones = zoneNames();
    if (zones.empty()) GTEST_SKIP() << "no zone database in " << kZoneDirectory;
    for (const char* known : {"Europe/Berlin", "Australia/Sydney", "Africa/Cairo", "America/Santiago"}) {
        ASSERT_TRUE(std::find(zones.begin(), zones.end(), known) != zones.end()) << known;
    }
    std::atomic<size_t> next(0);
    std::mutex lock;
    std::vector<std::string> failed;
    std::string report;
    const unsigned workers = std::max(2u, std::min(4u, std::thread::hardware_concurrency()));
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < workers; ++w) {
        threads.emplace_back([&] {
            for (size_t i; (i = next++) < zones.size();) {
                std::string output;
                const int status = runZoneChild(zones[i], output);
                if (status == 0 && output.find("[  PASSED  ] 2 tests.") != std::string::npos) continue;
                std::lock_guard<std::mutex> hold(lock);
                failed.push_back(zones[i]);
                if (failed.size() <= 3) report += zones[i] + ":\n" + output + "\n";
            }
        });
    }
    for (std::thread& t : threads) t.join();
    std::sort(failed.begin(), failed.end());
    std::ostringstream names;
    for (const std::string& zone : failed) names << " " << zone;
    EXPECT_TRUE(failed.empty()) << failed.size() << " of " << zones.size()
                                << " zones disagree:" << names.str() << "\n"
                                << report;
}

const bool kChildTestsRegistered = [] {
    const char* zone = std::getenv(kChildVariable);
    if (zone == nullptr) return false;
    const std::string name = zone;
    const struct {
        const char* test;
        void (*body)(const std::string&);
    } tests[] = {
        {"AgreesWithTheDatabase", &agreesWithTheDatabase},
        {"ResolvesKnownChanges", &resolvesKnownChanges},
    };
    for (const auto& t : tests) {
        auto body = t.body;
        ::testing::RegisterTest("ZoneDatabaseChild", t.test, nullptr, nullptr, __FILE__, __LINE__,
                                [body, name]() -> ::testing::Test* {
                                    struct Child : ::testing::Test {
                                        Child(void (*b)(const std::string&), std::string n)
                                            : body(b), zone(n) {}
                                        void TestBody() override { body(zone); }
                                        void (*body)(const std::string&);
                                        std::string zone;
                                    };
                                    return new Child(body, name);
                                });
    }
    return true;
}();

}  // namespace
