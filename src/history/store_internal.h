// What the parts of the results store share: the run being inserted, the verdict a run shows
// and the schema. Not for use outside src/history.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "history/store.h"

namespace history {

struct Store::NewRun {
  std::string variant, start;
  std::optional<long long> card;
  std::string barcodes[5];
  std::optional<long long> pcb;
  std::string comments, report, program, origin, station;
  std::optional<std::vector<int>> stepsOn;  // none: not known
};

namespace detail {

// The verdict a run shows: the end's verdict, or UNFINISHED while the run has no end.
inline constexpr const char *kVerdictExpr =
    "(CASE WHEN runs.finished = 0 THEN 'UNFINISHED' ELSE COALESCE(runs.verdict, '') END)";

// The verdicts a run's end may carry.
bool IsEndVerdict(const std::string &verdict);

std::string Upper(std::string s);

// The index the step-time question walks (step_times.cpp); made, when missing, by every
// writable open. A store without it (read-only, or a user not allowed to make it) answers too.
extern const char *const kStepStateIndex;
// The instant of a start as the record writes it, in UTC to the second ("2026-12-07T08:15:02Z"
// for "2026-12-07T09:15:02+01:00"); a start without a zone is taken as UTC. Empty when `start`
// is no such date and time. Runs are ordered by it, whatever zone their benches are in.
std::string UtcInstant(const std::string &start);
// The indexes of the failed lines and of the runs of each check name (store_queries.cpp); made
// the same way.
extern const char *const kFailedLinesIndex;
extern const char *const kNameRunIndex;

// Whether `text` is an ISO 8601 date and time as the record writes it ("2026-12-07T09:15:02",
// optionally ".fff" and a zone "Z" or "+01:00"), with a calendar date and a time of day.
bool ValidIsoDateTime(const std::string &text);

// "2026-12-07T08:15:04Z": a time as the store keeps its own clock's.
std::string UtcText(long long unixSeconds);
std::string UtcNowText();
// Seconds since 1970 of an ISO 8601 date and time with its zone; none without a zone.
std::optional<long long> UnixSeconds(const std::string &iso);

// The privileges a role needs: a bench's (read, insert, close its own runs) or a reader's.
enum class Need { Bench, Reader };
// What the connected role lacks of them, as "INSERT on results", "UPDATE (verdict) on runs";
// empty when it lacks nothing. Asks the server's privilege functions, writes nothing. On a file
// store nothing is asked (empty).
std::vector<std::string> MissingPrivileges(Database &db, Need need, std::string &error);
// The rules a server keeps on the store's tables (triggers), made with them.
std::string ServerRulesSql();
// The connected role's name ("" on a file store).
std::string RoleName(Database &db);

}  // namespace detail
}  // namespace history
