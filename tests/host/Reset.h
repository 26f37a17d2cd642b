// The process-wide records of the core as a run starts with them: the
// settings, the mirror sites, the file table and the transfer counters.
#pragma once

void ResetCore();
