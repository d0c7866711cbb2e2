#pragma once

#include "CommandLine.h"

#include <QCoroTask>

// The commands of tavi-pack. Each returns its exit status or throws: a
// CliError ends the run with its own status, any other TaviError (the service,
// the network, the model) with CommandLine::serviceFailed.
namespace Commands {

QCoro::Task<int> run(CommandLine::Invocation invocation);

// lint needs neither the network nor an event loop, so it runs before either
// exists: a pipeline that lints many files pays for neither.
int lint(const CommandLine::Invocation &invocation);

// Asks a running eval to stop; it then prints what finished and returns
// CommandLine::interrupted.
void interrupt();

} // namespace Commands
