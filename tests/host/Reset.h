// The process-wide records of the core as a run starts with them: the
// settings, the mirror sites, the file table, the transfer counters and the
// file list's outcome.
#pragma once

void ResetCore();
