#pragma once
// Install-funnel status reports: one fire-and-forget GET to the log server.

// Sends "ClientsRecruitChain.asp?StartTime=..&StartRandom=..&Status=<status>&Did=..&Tag1=..&Tag2=..&"
// to the log server on a thread of its own; returns at once. The values other
// than the status come straight from the stamped block.
void FunnelReport(int status);
