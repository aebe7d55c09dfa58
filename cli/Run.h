#pragma once

#include <signal.h>

#include "cli/Invocation.h"
#include "links/Transfer.h"

namespace kelvo::cli {

// SIGINT and SIGTERM cancel the running actions instead of killing the process, so every port is
// released and every printer's outcome reported.
class CancelOnSignals {
  public:
    explicit CancelOnSignals(CancelSignal& signal);
    ~CancelOnSignals();
    CancelOnSignals(const CancelOnSignals&) = delete;
    CancelOnSignals& operator=(const CancelOnSignals&) = delete;

  private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

// Serves the printers of `run`, `run.parallel` at a time, and reports each: the exit status.
int RunForPrinters(const Invocation& run);

}  // namespace kelvo::cli
