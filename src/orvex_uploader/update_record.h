// The record of every update: what was updated, with which file, and how it
// ended, appended as one JSON line to the record file.
#pragma once

#include <string>
#include <vector>

#include "records.h"
#include "upload.h"

namespace orvex {

struct UpdateSummary {
    std::string time_utc;  // when the run began
    std::string bus;
    std::string resource;
    std::string model;
    std::string serial_number;
    std::string revision_before;
    std::string revision_after;
    std::string file;
    long long file_size = -1;  // -1: unreadable
    std::string file_sha256;
    std::string message;  // the result as Messages showed it
    Outcome outcome = Outcome::NotRun;
    double duration_s = 0.0;
    int attempt = 1;  // of a batch run with retries; every other run is a first
};

// Where records go: the default record file unless set.
void set_record_path(const std::string& path);
std::string record_path();
// The unit as the operator named it (batch); else it is read off the panel.
void set_record_resource(const std::string& resource);
// Which attempt at the unit the next runs are (batch retries); 1 unless set.
void set_record_attempt(int attempt);
// Follows runs from START on, for their start time.
void watch_update_runs();

// Gathers the run that just ended from the panel and appends its record. A
// record that cannot be written is reported on stderr and changes nothing else.
const UpdateSummary& record_update(Outcome outcome);
// The summary of the last record written.
const UpdateSummary& last_update();

// The record's fields, in the order a reader expects them.
std::vector<records::JsonField> summary_fields(const UpdateSummary& summary);

}  // namespace orvex
