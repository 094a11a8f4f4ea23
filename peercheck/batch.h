#pragma once
// Runs a selection of cases against one implementation, each case as often as asked, several
// runs at a time, and gives one result a case in catalogue order, whatever order they end in.

#include <functional>
#include <vector>

#include "catalogue.h"
#include "result.h"
#include "runner.h"

namespace peercheck {

// Called under a lock once every run of a case has ended: the case's result, how many cases
// have ended so far, and how many there are.
using OnCaseDone = std::function<void(const CaseResult&, std::size_t, std::size_t)>;

// Runs every case `repeat` times, `jobs` runs at a time. The report's cases follow `cases`;
// after an interruption only the cases that ran are in it.
RunReport run_cases(const Config& cfg, const std::vector<const Case*>& cases, unsigned repeat,
                    unsigned jobs, const OnCaseDone& on_done);

// One result from the runs of one case: flaky when some runs passed and some failed, else the
// verdict they share; the details are of the first failing run (else of the first run), the
// time is that of all runs. Skipped runs (an interruption) do not count unless all were.
CaseResult combine_runs(std::vector<CaseResult> runs);

}  // namespace peercheck
