// The mirror table's file: "kvdata.dat" in the system root directory of the system volume,
// with the version before it as "kvdata.da0". The driver reads and writes both through the
// system volume's bypass alias, so that its own filter neither mirrors nor blocks them.
#pragma once

#include "driver/table/mirror_table.h"
#include "platform/nt/nt_types.h"

// Loads the table once: from the primary file, else from the backup, else it starts empty
// (and dirty, so that the next save writes a file). Callers after the first return at once.
// REQUIRES: PASSIVE_LEVEL; no table lock held.
void EnsureTableLoaded(MirrorTable& table);

// Reads one of the two files into the table. STATUS_OBJECT_PATH_NOT_FOUND without a reachable
// system volume; the open's or read's failure; STATUS_FILE_INVALID or
// STATUS_OBJECT_TYPE_MISMATCH for a file the table refuses. A failed load leaves the table as it
// was. REQUIRES: PASSIVE_LEVEL; no table lock held.
NTSTATUS LoadTableFile(MirrorTable& table, bool backup);

// Writes the table's image as the new primary file, after deleting the old backup and renaming
// the primary to the backup, so that some complete image exists at every moment. A primary
// that does not load (a save cut short) is overwritten instead, and the backup kept. The table
// is clean once the image is built, whatever happens to the files. REQUIRES: PASSIVE_LEVEL; no
// table lock held.
void SaveTable(MirrorTable& table);
