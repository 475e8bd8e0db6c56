#pragma once
// The system event log: start and start-failure messages of the instances of this machine,
// kept in the shared file events.db of the state folder and also passed to syslog.
#include <cstdint>
#include <string>
#include <string_view>

namespace hbr {

inline constexpr int kEventSuccess = 0;  // EVENTLOG_SUCCESS
inline constexpr int kEventError = 1;    // EVENTLOG_ERROR_TYPE
inline constexpr const char* kEventSource = "Hbr";

// Files one entry of source "Hbr", event id 1, with the insertion strings "Hbr", the instance
// name and `message`. Never fails towards the caller.
void ReportInstanceEvent(std::string_view message, int eventType);

// Appends [{"id":..,"date":..,"eventId":..,"eventType":..,"message":..},...] of this instance's
// entries, newest first; with `floor` not 0 only the entries numbered above it. Appends nothing
// when the log cannot be read.
void ReadInstanceEvents(std::string& out, int64_t floor);

// The record number of the newest entry of any source into `out` (unchanged when the log is
// empty or unreadable). Returns 0, or an errno-style code when the log cannot be opened.
int NewestEventRecordNumber(int64_t& out);

// The path of the shared event store.
std::string EventLogPath();

// Creates the state folder and the event store with its table when they are missing; raises
// the store's exception when it cannot.
void CreateEventStore();

}  // namespace hbr
