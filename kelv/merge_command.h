#pragma once

#include "kelv/options.h"

namespace kelv {

// kelv --merge: reads the result files, refusing the first that is not a result this kelv
// reads with its name and why, and reports them as one run, as the settings ask. Warns on
// standard error when their measured periods overlap too little for summed rates to mean
// one load. Returns the exit status (exit_status.h).
int runMerge(const Settings& settings);

}  // namespace kelv
