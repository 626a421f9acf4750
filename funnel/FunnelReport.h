#pragma once
// Install-funnel status reports: one fire-and-forget GET to the log server.

// The stages of an installation a report names (its "Status").
enum FunnelStage {
    FUNNEL_FIRST_START = 30,       // the dialog starts on a first run
    FUNNEL_ANSWERS_KNOWN = 40,     // every profile answer known; the update worker is about to start
    FUNNEL_INSTALLER_COPIED = 50,  // the installer was copied into the install folder
    FUNNEL_POST_INSTALL_DONE = 60, // the post-install tool of a first installation has run
};

// Sends "ClientsRecruitChain.asp?StartTime=..&StartRandom=..&Status=<stage>&Did=..&Tag1=..&Tag2=..&"
// to the log server on a thread of its own; returns at once. The values other
// than the stage come straight from the stamped block.
void FunnelReport(FunnelStage stage);
