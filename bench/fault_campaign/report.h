#pragma once
// The campaign's records and its report: one row per case (also kept as a tab-separated results
// file, so that shards run apart can be summed), the table by class, the adapters' times beside
// the wire-time floor, the failing cases with their replay commands, and the total line.
#include <cstdio>
#include <string>
#include <vector>

#include "bench/fault_campaign/cases.h"
#include "bench/fault_campaign/judge.h"
#include "bench/fault_campaign/runner.h"

namespace campaign {

struct Row {
  std::string name;
  Klass klass = Klass::Steps;
  int image = 0;
  Verdict v;
  int restoredBy = -1;
  int runs = 0;
  double seconds = 0;        // the whole case
  double runSeconds = 0;     // the faulted run of the utility
  double updateSeconds = 0;  // its update, Y to 100%
  double floorSeconds = 0;   // its session's wire-time floor
  double sessionSeconds = 0; // its session, rate measurement to Go
  int latencyMs = 0;
  bool wine = false;
  std::string fault;         // what fired ("fault:" line of the faulted run)
  std::string lastMessage;   // of the faulted run
};

Row rowOf(const Case& c, const CaseResult& result, const Verdict& v);
void writeRow(std::FILE* out, const Row& row);
bool readRows(const std::string& path, std::vector<Row>* rows);

// The whole report; replay is the command that runs one case, to which " --case NAME" is added.
// Returns the number of failing cases.
int printReport(const std::vector<Row>& rows, const std::string& replay);

}  // namespace campaign
