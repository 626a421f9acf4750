#pragma once
// The report of a failed run: one fire-and-forget GET to the log server on a
// path of its own, so servers that know only the funnel's stages are not
// disturbed. It names the funnel as the stage reports do, why the run failed
// and where, and the build and system it ran on; never a user name, a path
// or a machine name.
#include <string>

#include "utils/Result.h"

// The report's request target:
// "ClientsFailure.asp?StartTime=..&StartRandom=..&Did=..&Tag1=..&Tag2=..&Reason=<name>&Error=<code>&Stage=<step>&Build=<build>&WinVer=<a.b.c>&Date=<asked>&"
// (text values URL-encoded). The funnel values come straight from the stamp.
std::string FailureReportTarget(const Utils::Result& failure, const std::string& stage, const std::string& askedDate);

// Sends that report on a thread of its own and returns at once (nothing when
// the build turns failure reports off). Only a release date of digits is
// sent; a stage must be a plain step name.
void FailureReport(const Utils::Result& failure, const std::string& stage, const std::string& askedDate);
