// The link driver's measurement groups, one file each (<name>_group.cpp): each adds its rows
// and notes to the report, and a failure for every operation that failed.
#pragma once

#include "link_report.h"

namespace linkbench {

// Transfers on a simulator throttled to the line's baud against the wire time.
void WireGroup(const Options& options, Report& report);
// The same transfers unthrottled against a raw pty moving the same rounds.
void HostGroup(const Options& options, Report& report);
// FindDevice against its fixed pauses and exchanges; the empty walk.
void ScanGroup(const Options& options, Report& report);
// qxtool detect --all over silent ports and a live one against one silent probe.
void DetectGroup(const Options& options, Report& report);
// qxtool sync --watch: a one-byte edit against uploading the whole image.
void SyncGroup(const Options& options, Report& report);
// Transfers through ser2net against the same transfers directly on the pty.
void NetGroup(const Options& options, Report& report);

}  // namespace linkbench
